// Orvelin: watches the ISDN lines through CAPI 2.0 and acts on every call.
#include <cstdio>

#include "capi/capi_driver.h"
#include "platform/app_runtime.h"

int main(int argc, char** argv) {
    platform::AppRuntime runtime(argc, argv);
    capi::LoadCapiDll();  // ORVELIN_CAPI_REMOTE=host:port picks a CAPI server on the network
    if (!capi::CAPI20_IsInstalled()) std::fprintf(stderr, "orvelin: no ISDN driver is reachable\n");
    const int rc = runtime.exec();
    capi::FreeCapiDll();
    return rc;
}
