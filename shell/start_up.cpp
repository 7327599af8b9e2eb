#include "shell/start_up.h"

#include <cstdio>
#include <cstdlib>

#include "capi/capi.h"
#include "platform/affinity.h"
#include "platform/app_runtime.h"
#include "platform/message_box.h"
#include "platform/service_manager.h"
#include "platform/single_instance.h"
#include "settings/option_bits.h"
#include "settings/settings_log.h"
#include "settings/settings_store.h"
#include "xbase/engine.h"

namespace orvelin::shell {

namespace {

bool g_headless = false;

void logLine(const std::string& line) {
    capi::WriteCapiLog(line);
    if (g_headless) std::fprintf(stderr, "orvelin: %s\n", line.c_str());
}

void engineBox(const char* caption, const char* text, int) {
    platform::messageBox(text ? text : "", caption ? caption : "", platform::BoxButtons::Ok,
                         platform::BoxIcon::Error);
}

bool serviceOptionSet() {
    return settings::HasOption(settings::GetOptions(), settings::OptionBits::RunAsService);
}

}  // namespace

const char kSecondInstanceText[] =
    "You are trying to start a second instance of Orvelin\nwhile the program is currently "
    "running. Activate the\nprogram by clicking at the icon in the system tray.\n\nIf you "
    "think this is an error condition you should\nreboot your computer to correct the problem.";

void AppTrace(const std::string& text) {
    logLine(text);
}

bool RegisterAsServiceProcess() {
    AppTrace("RegisterAsServiceProcess: the service manager runs this process; nothing to register");
    return true;
}

bool UnregisterAsServiceProcess() {
    AppTrace("UnregisterAsServiceProcess: the service manager runs this process; nothing to unregister");
    return true;
}

client::ServiceHooks serviceHooks() {
    auto manager = std::make_shared<platform::ServiceManager>();
    client::ServiceHooks hooks;
    hooks.install = [manager] { return manager->InstallService(); };
    hooks.disable = [manager] { return manager->DisableService(); };
    hooks.queryAutoStart = [manager] { return manager->QueryServiceAutoStart(); };
    hooks.registerProcess = [](bool on) {
        if (on) RegisterAsServiceProcess();
        else UnregisterAsServiceProcess();
    };
    return hooks;
}

int OwlMain(int& argc, char** argv, bool serviceFlag, const MainWindowFactory& makeMainWindow) {
    // A service has no desktop to show anything on, whatever its environment says.
    if (serviceFlag) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Whether boxes can be shown is known before the application object exists: the
    // platform is chosen from the environment alone.
    platform::chooseHeadlessPlatform();
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    g_headless = qpa && (std::string(qpa) == "offscreen" || std::string(qpa) == "minimal");
    platform::setMessageLogSink(logLine);

    AppTrace("Starting app");
    // The lock lives as long as this call: the kernel drops it with the process, however
    // the process ends, so a crash leaves nothing stale behind.
    platform::SingleInstanceLock instance;
    const auto locked = instance.acquire(platform::SingleInstanceLock::defaultPath());
    if (locked != platform::SingleInstanceLock::Result::Acquired) {
        platform::AppRuntime runtime(argc, argv);  // the box needs the application
        if (locked == platform::SingleInstanceLock::Result::HeldElsewhere)
            platform::messageBoxInFront(kSecondInstanceText);
        else
            platform::messageBox(instance.error(), "Orvelin", platform::BoxButtons::Ok,
                                 platform::BoxIcon::Error);
        return 1;
    }
    settings::SetSettingsLogSink([](std::string_view line) { logLine(std::string(line)); });
    error4setHook(engineBox);
    settings::EnsureSettingsKeys();

    // Threads inherit the mask: nothing may have started one yet.
    platform::setProcessAffinity(platform::systemAffinityOps(), AppTrace);

    StartContext context;
    context.serviceProcess = serviceFlag || serviceOptionSet();
    if (context.serviceProcess) RegisterAsServiceProcess();
    else context.comInitialized = true;

    int rc = 0;
    {
        platform::AppRuntime runtime(argc, argv);
        context.runtime = &runtime;
        context.headless = runtime.headless();
        g_headless = context.headless;

        AppTrace("Entering Run Loop");
        std::unique_ptr<MainWindow> window = makeMainWindow(context);
        runtime.setTerminateHandler([&window] { window->closeForEnd(); });
        rc = runtime.exec();
        runtime.setTerminateHandler({});
        AppTrace("Exited Run Loop");
        if (serviceFlag || serviceOptionSet()) UnregisterAsServiceProcess();
        // The windows go with the speech object and the closing-down box, then the application.
        window.reset();
    }
    return rc;
}

}  // namespace orvelin::shell
