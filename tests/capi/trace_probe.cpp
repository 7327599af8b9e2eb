// Binds the CAPI driver as the program does and asks whether it is installed; libcapi20's own
// tracing, if any, goes to this process's stderr.
#include "capi/capi_driver.h"

int main() {
    capi::LoadCapiDll();
    capi::CAPI20_IsInstalled();
    return 0;
}
