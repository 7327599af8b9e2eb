// The service switch against a fake systemctl: what each answer of the manager makes of
// the three operations, which box they show, and which commands they give.
#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCursor>
#include <QGuiApplication>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/platform/temp_dir.h"
#include "tests/support/qt_environment.h"

namespace {

using testing_support::TempDir;

enum class Op { Install, Disable, Query };

// How the fake answers each command: output, error text, exit status.
struct Answer {
    std::string out;
    std::string err;
    int status = 0;
};

struct ManagerCase {
    const char* name;
    Op op;
    Answer show;  // "show --property=LoadState --value"; status -1: never answers, -2: no program
    Answer change;    // "enable" / "disable"
    Answer enabled;   // "is-enabled"
    int result;
    std::string caption;  // empty: no box
    std::string text;     // part of the box text
    std::vector<std::string> commands;  // "{unit}" stands for the installed unit file
    bool unitFile = false;  // the program's installed unit file exists
    bool booted = true;     // the manager started the machine
};

const Answer kLoaded{"loaded\n", "", 0};
const Answer kMissing{"not-found\n", "", 0};
const Answer kNoBus{"", "Failed to connect to bus: No such file or directory\n", 1};
const Answer kOk{"", "", 0};
const Answer kDenied{"", "Failed to enable unit: Access denied\n", 1};
const std::string kShow = "show --property=LoadState --value orvelin.service";

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string branch(const char* pattern, const Answer& a) {
    if (a.status < 0) return std::string(pattern) + ") exec sleep 30;;\n";
    return std::string(pattern) + ") printf %s " + quoted(a.out) + "; printf %s " + quoted(a.err) +
           " >&2; exit " + std::to_string(a.status) + ";;\n";
}

TEST(ServiceManager, ResultsBoxesAndCommandsFollowTheManagersAnswers) {
    const std::vector<ManagerCase> cases = {
        {"install: enabled", Op::Install, kLoaded, kOk, {}, 0, "", "",
         {kShow, "enable orvelin.service"}},
        {"install: no manager", Op::Install, kNoBus, {}, {}, 1,
         "Could not open Service Control Manager", "Failed to connect to bus", {kShow}},
        {"install: no unit known, none installed", Op::Install, kMissing, {}, {}, 3,
         "Could not create service", "as root: systemctl enable orvelin.service", {kShow}},
        {"install: no unit known, the installed file is linked and enabled", Op::Install, kMissing,
         kOk, {}, 0, "", "", {kShow, "enable {unit}"}, true},
        {"install: enabling refused says what to run", Op::Install, kLoaded, kDenied, {}, 4,
         "Could not change service", "Access denied\n\nTo do it by hand, as root: systemctl enable orvelin.service",
         {kShow, "enable orvelin.service"}},
        {"install: enabling the installed file refused", Op::Install, kMissing, kDenied, {}, 4,
         "Could not change service", "as root: systemctl enable {unit}", {kShow, "enable {unit}"},
         true},
        {"install: the manager never answers", Op::Install, {"", "", -1}, {}, {}, 1,
         "Could not open Service Control Manager", "did not answer in time", {kShow}},
        {"disable: disabled", Op::Disable, kLoaded, kOk, {}, 0, "", "",
         {kShow, "disable orvelin.service"}},
        {"disable: no unit is as good as disabled", Op::Disable, kMissing, {}, {}, 0, "", "", {kShow}},
        {"disable: masked unit", Op::Disable, {"masked\n", "", 0}, {}, {}, 4, "Could not open service",
         "masked", {kShow}},
        {"disable: refused, status only", Op::Disable, kLoaded, {"", "", 3}, {}, 5,
         "Could not change service", "ended with status 3", {kShow, "disable orvelin.service"}},
        {"query: disabled ends with 1 yet answers", Op::Query, kLoaded, {}, {"disabled\n", "", 1}, 0,
         "", "", {kShow, "is-enabled orvelin.service"}},
        {"query: enabled for this boot only", Op::Query, kLoaded, {}, {"enabled-runtime\n", "", 0}, 0,
         "", "", {kShow, "is-enabled orvelin.service"}},
        {"query: no manager", Op::Query, kNoBus, {}, {}, 2, "Could not open service manager",
         "Failed to connect to bus", {kShow}},
        {"query: no systemctl at all", Op::Query, {"", "", -2}, {}, {}, 2,
         "Could not open service manager", "No such file", {}},
        {"query: no unit installed is not a failure", Op::Query, kMissing, {}, {}, 0, "", "",
         {kShow}},
        {"query: a machine the manager did not start asks nothing", Op::Query, kNoBus, {}, {}, 0,
         "", "", {}, false, false},
        {"install: a machine the manager did not start says so", Op::Install, kNoBus, {}, {}, 1,
         "Could not open Service Control Manager", "Failed to connect to bus", {kShow}, false,
         false},
        {"query: masked unit", Op::Query, {"masked\n", "", 0}, {}, {}, 2, "Could not open service",
         "masked", {kShow}},
        {"query: no answer text", Op::Query, kLoaded, {},
         {"", "Failed to get unit file state: Access denied\n", 1}, 2, "Could not query service",
         "Access denied", {kShow, "is-enabled orvelin.service"}},
    };
    for (const ManagerCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string calls = dir.file("calls");
        const std::string fake = dir.file(c.show.status == -2 ? "missing" : "systemctl");
        std::ofstream(fake) << "#!/bin/sh\necho \"$*\" >> " << quoted(calls) << "\ncase \"$1\" in\n"
                            << branch("show", c.show) << branch("enable|disable", c.change)
                            << branch("is-enabled", c.enabled) << "esac\nexit 99\n";
        ASSERT_EQ(chmod(fake.c_str(), 0700), 0);
        if (c.show.status == -2) std::remove(fake.c_str());

        const std::string unitFile = dir.file("orvelin.service");
        if (c.unitFile) std::ofstream(unitFile) << "[Service]\n";
        const auto withUnit = [&](std::string text) {
            const size_t at = text.find("{unit}");
            return at == std::string::npos ? text : text.replace(at, 6, unitFile);
        };

        // The manager is asked under the wait cursor (boxes included), and the cursor
        // shown before comes back.
        const auto waiting = [] {
            const QCursor* cursor = QGuiApplication::overrideCursor();
            return cursor && cursor->shape() == Qt::WaitCursor;
        };
        std::vector<std::pair<std::string, std::string>> boxes;
        platform::ServiceManager manager(
            fake,
            [&](const std::string& text, const std::string& caption) {
                EXPECT_TRUE(waiting()) << "the box came after the wait cursor was gone";
                boxes.emplace_back(text, caption);
            },
            std::chrono::milliseconds(c.show.status < 0 ? 500 : 20000), unitFile,
            c.booted ? dir.path() : dir.file("not-booted"));
        QGuiApplication::setOverrideCursor(QCursor(Qt::PointingHandCursor));
        const int result = c.op == Op::Install   ? manager.InstallService()
                           : c.op == Op::Disable ? manager.DisableService()
                                                 : manager.QueryServiceAutoStart();
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::PointingHandCursor);
        QGuiApplication::restoreOverrideCursor();
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(result, c.result);
        if (c.caption.empty()) {
            EXPECT_TRUE(boxes.empty()) << boxes.front().second << ": " << boxes.front().first;
        } else {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].second, c.caption);
            EXPECT_NE(boxes[0].first.find(withUnit(c.text)), std::string::npos) << boxes[0].first;
        }
        std::vector<std::string> given;
        std::ifstream in(calls);
        for (std::string line; std::getline(in, line);) given.push_back(line);
        std::vector<std::string> expected;
        for (const std::string& command : c.commands) expected.push_back(withUnit(command));
        EXPECT_EQ(given, expected);
    }
}

// Where the unit file stands beside an installed program: the install rules put it
// there, the library directory is how the program knows its prefix.
TEST(ServiceManager, InstalledUnitFileFollowsTheProgramsPrefix) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/lib/orvelin/", "/usr/lib/systemd/system/orvelin.service"},
        {"/opt/o/lib/orvelin/", "/opt/o/lib/systemd/system/orvelin.service"},
        {"/home/me/build/", ""},
        {"/usr/lib/", ""},
    };
    for (const auto& [library, unit] : cases) EXPECT_EQ(platform::installedUnitFileFor(library), unit) << library;
}

}  // namespace
