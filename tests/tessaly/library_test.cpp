// The settings library as the program binds it: by file name, per use.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "platform/library.h"
#include "tests/support/qt_environment.h"
#include "tests/tessaly/form_fixture.h"

#include <QAbstractButton>

using namespace platform;

namespace {

constexpr const char* kLibrary = "libtessaly.so";
const std::string kDir = ORVELIN_BUILD_DIR;

bool stillLoaded(const char* library = kLibrary) {
    void* h = dlopen((kDir + "/" + library).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    dlclose(h);
    return true;
}

std::string commandOutput(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    pclose(p);
    return out;
}

TEST(TessalyLibrary, HasNoUniqueSymbols) {
    const std::string symbols = commandOutput("readelf -sW '" + kDir + "/" + kLibrary + "'");
    ASSERT_NE(symbols.find("Symbol table"), std::string::npos) << "readelf gave nothing";
    EXPECT_EQ(symbols.find("UNIQUE"), std::string::npos)
        << "a unique symbol keeps the library loaded after dlclose";
}

TEST(TessalyLibrary, ItsPlatformCopyDoesNotPinALibrary) {
    // The program's own platform objects carry unique symbols; the copy must not.
    constexpr const char* kProbe = "libtessaly_platform_probe.so";
    const std::string symbols = commandOutput("readelf -sW '" + kDir + "/" + kProbe + "'");
    ASSERT_NE(symbols.find("Hive"), std::string::npos) << "the probe lacks the platform copy";
    EXPECT_EQ(symbols.find("UNIQUE"), std::string::npos);
    auto r = callLibraryExportIn<int()>(kDir, kProbe, "platform_probe_path_length");
    ASSERT_TRUE(r.called()) << r.error;
    EXPECT_EQ(r.value, 9);
    EXPECT_FALSE(stillLoaded(kProbe));
}

// The form variables are exported and never set; each use unloads the library again.
TEST(TessalyLibrary, DataExportsExistStayNullAndEachUseUnloads) {
    // With the host's QApplication alive, as in the program.
    ASSERT_NE(QApplication::instance(), nullptr);
    for (const char* name : {"_CallerDialog", "_MSNform"}) {
        for (int use = 0; use < 2; ++use) {
            void* seen = reinterpret_cast<void*>(1);
            LibraryCall call = useLibraryExport(kDir, kLibrary, name, [&](void* address) {
                seen = *static_cast<void**>(address);
            });
            ASSERT_TRUE(call.called()) << name << ": " << call.error;
            EXPECT_EQ(seen, nullptr) << name;
            EXPECT_FALSE(stillLoaded()) << name << ", use " << use;
        }
    }
}

TEST(TessalyLibrary, ClipboardFunctionIsNotOffered) {
    auto r = callLibraryExportIn<int(const char*)>(kDir, kLibrary, "_PutInClipboard", "0301");
    EXPECT_EQ(r.status, LibraryStatus::ExportAbsent);
    EXPECT_FALSE(r.value.has_value());
    EXPECT_FALSE(stillLoaded());
}

TEST(TessalyLibrary, MissingLibraryIsReportedNotCalled) {
    auto r = callLibraryExportIn<int()>(kDir, "libtessaly-absent.so", "_InvokeConfigDialog");
    EXPECT_EQ(r.status, LibraryStatus::LibraryAbsent);
    EXPECT_FALSE(r.value.has_value());
}

// This test program, unlike the program and the caller form's own tests, exports no
// text-message request, as when the library is loaded by a host that is not the program.
class CallerFormOutsideTheProgram : public orvelin::test::HiveFormTest {
  protected:
    CallerFormOutsideTheProgram() : HiveFormTest("alone") {}
};

TEST_F(CallerFormOutsideTheProgram, ATextMessageRequestSaysInternalError) {
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "orvelin_send_settings_changed_v1"), nullptr);
    RegNode root;
    root.createSubkey("SOFTWARE\\ORVELIN")->setDword("Info Mask", 0x19);
    root.createSubkey("SOFTWARE\\ORVELIN\\Callers\\0301")->setString("Cellular", "0171");
    writeHive(root);
    std::array<char, 26> number{"0301"};
    const std::vector<unsigned char> ring(583 * 150, 0);
    orvelin::test::StderrCapture log(dir_ + "stderr.txt");
    orvelin::test::runModal(
        kDir + "/" + kLibrary,
        [](QDialog& form) {
            auto* sms = form.findChild<QAbstractButton*>("SpeedButton3");
            ASSERT_NE(sms, nullptr);
            EXPECT_TRUE(sms->isEnabled());
            sms->click();
            EXPECT_TRUE(form.isVisible());
            form.close();
        },
        [&] {
            return callLibraryExportIn<int(const char*, char*, const void*, int, int, int, int, int,
                                           int, int)>(kDir, kLibrary, "_InvokeCallerDialog",
                                                      dir_.c_str(), number.data(), ring.data(), 0,
                                                      100, 80, 480, 640, 2, 0);
        });
    EXPECT_NE(log.finish().find("Internal error"), std::string::npos);
}

}  // namespace
