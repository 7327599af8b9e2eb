// The library's data exports, bound by name. The program finds its dialogs through
// exported functions; these two variables exist for callers that look them up by
// name and always hold null, since every dialog is a local object of its call.
#include "tessaly/export.h"

TESSALY_EXPORT extern void* callerDialogExport asm("_CallerDialog");
TESSALY_EXPORT extern void* msnFormExport asm("_MSNform");

void* callerDialogExport = nullptr;
void* msnFormExport = nullptr;
