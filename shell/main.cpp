// Orvelin: watches the ISDN lines through CAPI 2.0 and acts on every call.
#include <capi20.h>

#include <cstdio>

#include "platform/app_runtime.h"

int main(int argc, char** argv) {
    platform::AppRuntime runtime(argc, argv);
    if (capi20_isinstalled() != 0) std::fprintf(stderr, "orvelin: no ISDN driver is reachable\n");
    return runtime.exec();
}
