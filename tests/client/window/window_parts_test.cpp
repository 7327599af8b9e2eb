// The classes the client window routes to, headless against fakes: the CAPI switch, the
// reactions to settings changes, the list commands and the clearing of a line.
#include <gtest/gtest.h>

#include <map>

#include "capi/connections.h"
#include "client/window/capi_switch.h"
#include "client/window/docking.h"
#include "client/window/line_events.h"
#include "client/window/list_commands.h"
#include "client/window/settings_reactions.h"
#include "client/window/settings_library.h"
#include "settings/option_bits.h"
#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

using test::TestDir;

// ---- CAPI switch ----

struct FakeDriver {
    std::vector<std::string> calls;
    int controllers = 2;
    bool registers = true;
    std::map<int, bool> fax{{1, true}, {2, false}};
    std::map<int, std::uint32_t> cip{{1, 0x10012}, {2, 0}};
    std::map<int, unsigned> listenRc;

    CapiOps ops() {
        CapiOps o;
        o.registerApp = [this] {
            calls.push_back("register");
            return registers ? 1 : 0;
        };
        o.release = [this] { calls.push_back("release"); };
        o.clearConnections = [this] { calls.push_back("clear"); };
        o.controllers = [this] { return controllers; };
        o.faxProfile = [this](int c) { return fax[c]; };
        o.identity = [](int c) {
            ControllerIdentity id;
            id.manufacturer = "Maker " + std::to_string(c);
            id.serial = "000000" + std::to_string(c);
            id.version = {2, 0, 3, c};
            id.bChannels = c + 1;
            id.globalOptions = 0xFFC0u | std::uint32_t(c);
            return std::optional(id);
        };
        o.log = [this](const std::string& line) { calls.push_back("log " + line); };
        o.startWorker = [this] {
            calls.push_back("start");
            return true;
        };
        o.stopWorker = [this] { calls.push_back("stop"); };
        o.listen = [this](int c, std::uint32_t info, std::uint32_t mask) {
            calls.push_back("listen " + std::to_string(c) + " " + std::to_string(info) + " " +
                            std::to_string(mask));
            return mask == 0 ? 0u : listenRc[c];
        };
        o.cipMask = [this](int c) { return cip[c]; };
        o.infoMask = [](int) { return 1u; };
        o.settle = [this](std::chrono::milliseconds) { calls.push_back("settle"); };
        return o;
    }
};

TEST(CapiSwitchTest, EnableAndDisableInTheDriversOrder) {
    const std::string id1 = "log Maker 1 Serial# 0000001 using CAPI v2.0 Driver v3.1 using 2 B-channels";
    const std::string id2 = "log Maker 2 Serial# 0000002 using CAPI v2.0 Driver v3.2 using 3 B-channels";
    struct Case {
        const char* name;
        int controllers;
        bool registers;
        unsigned listenRc;  // of controller 1
        std::vector<std::string> enableCalls;
        bool enabled;
        bool fax;
        std::uint32_t globalOptions;
    };
    const Case cases[] = {
        {"two controllers, only the first listens", 2, true, 0,
         {"register", "clear", id1, id2, "start", "listen 1 1 65554"}, true, false, 2},
        {"one fax controller", 1, true, 0, {"register", "clear", id1, "start", "listen 1 1 65554"},
         true, true, 1},
        {"a refused LISTEN is logged", 1, true, 0x2005,
         {"register", "clear", id1, "start", "listen 1 1 65554", "log Listen error: Out of LISTEN"},
         true, true, 1},
        {"registration refused", 2, false, 0, {"register"}, false, false, 0},
        {"no controller: released again", 0, true, 0, {"register", "clear", "release"}, false, false,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        driver.controllers = c.controllers;
        driver.registers = c.registers;
        driver.listenRc[1] = c.listenRc;
        CapiSwitch sw(driver.ops());
        EXPECT_EQ(sw.enable(), c.enabled);
        EXPECT_EQ(driver.calls, c.enableCalls);
        EXPECT_EQ(sw.faxCapable(), c.fax) << "the last controller's profile decides";
        EXPECT_EQ(sw.globalOptions(), c.globalOptions) << "the low six bits";
        driver.calls.clear();
        sw.disable();
        if (c.enabled)
            EXPECT_EQ(driver.calls, (std::vector<std::string>{"listen 1 0 0", "settle", "stop", "release"}));
        else
            EXPECT_TRUE(driver.calls.empty());
        EXPECT_FALSE(sw.enabled());
    }
}

TEST(CapiSwitchTest, ToggleSwitchesBackAndForthAndTheProfileBitsAllCount) {
    FakeDriver driver;
    CapiSwitch sw(driver.ops());
    EXPECT_TRUE(sw.toggle());
    EXPECT_FALSE(sw.toggle());
    EXPECT_TRUE(sw.toggle());
    EXPECT_EQ(std::count(driver.calls.begin(), driver.calls.end(), "register"), 2);

    unsigned char profile[64] = {};
    profile[8] = profile[12] = profile[16] = 0x10;
    EXPECT_TRUE(profileOffersFax(profile));
    profile[12] = 0x03;
    EXPECT_FALSE(profileOffersFax(profile)) << "B2 without T.30";
}

// ---- Settings changes ----

TEST(SettingsReactionsTest, EachBitRunsItsActionInTableOrder) {
    std::vector<std::string> done;
    bool speechWanted = true;
    SettingsReactions::Hooks h;
    h.reloadMsn = [&] { done.push_back("msn"); };
    h.rebuildSpeech = [&] { done.push_back("speech"); };
    h.speechWanted = [&] { return speechWanted; };
    h.refreshList = [&] { done.push_back("list"); };
    h.serviceProcess = [&](bool on) { done.push_back(on ? "service on" : "service off"); };
    h.serviceOption = [] { return true; };
    h.rebuildNumberList = [&] { done.push_back("numbers"); };
    h.updateTray = [&] { done.push_back("tray"); };
    h.sendText = [&](const std::string& to) { done.push_back("text " + to); };
    SettingsReactions reactions(h);

    const std::string longNumber(60, '7');
    struct Case {
        std::uint32_t bits;
        const char* text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0x7F, "0171", {"msn", "speech", "list", "service on", "numbers", "tray", "text 0171"}},
        {0x2000, "0172", {"text 0172"}},
        {0x20, "", {}},
        {0x20, nullptr, {}},
        {0x2020, longNumber.c_str(), {"text " + longNumber.substr(0, kRecipientBytes)}},
        {0x80, "x", {}},
    };
    for (const Case& c : cases) {
        done.clear();
        EXPECT_EQ(reactions.apply(c.bits, c.text), 0);
        EXPECT_EQ(done, c.expected) << std::hex << c.bits;
    }
    speechWanted = false;
    done.clear();
    reactions.apply(0x2, nullptr);
    EXPECT_TRUE(done.empty()) << "no speech object without COM or option bit 14";
}

TEST(SettingsReactionsTest, ConfiguredNumberListLeavesDiscreteNumbersOut) {
    const std::string list = buildConfiguredNumberList(
        [](int i) { return i < 3 ? "30" + std::to_string(i) : std::string(); },
        [](int i) { return i == 1 || i > 3; });
    EXPECT_EQ(list, ";300;0;302;2;;3;");
}

// ---- Settings library ----

TEST(SettingsLibraryTest, AMissingLibraryOrExportDoesNothingAndLeavesTheModalFlag) {
    TestDir dir;
    test::touch(dir / "libnotalibrary.so");  // present but not loadable
    struct Case {
        const char* file;
        bool modalBefore;
    };
    for (const Case& c : {Case{"libabsent.so", false}, Case{"libnotalibrary.so", true}}) {
        SCOPED_TRACE(c.file);
        bool modal = c.modalBefore;
        SettingsLibrary library(dir.path().string(), c.file, dir.path().string() + "/", &modal);
        char number[256] = "0301234567";
        EXPECT_FALSE(library.configDialog({}));
        EXPECT_FALSE(library.msnDialog(1, true, {}));
        EXPECT_FALSE(library.callerDialog(number, nullptr, 0, {}));
        EXPECT_EQ(modal, c.modalBefore);
        EXPECT_STREQ(number, "0301234567");
    }
}

// ---- List commands ----

class ListCommandsTest : public testing::Test {
  protected:
    ListCommandsTest()
        : history_(CallHistory::Config{dir_.path().string() + "/", 5, {},
                                       [this](int) { ++queued_; }, [this] { return options_; }}) {
        history_.load();
    }

    std::uint32_t addCall(const std::string& caller, std::uint32_t state = 0,
                          const std::string& path = {}) {
        TCallRecord& r = history_.takeNew(makeArrivalTime(std::chrono::system_clock::now()));
        r.callerNumber.assign(caller);
        r.state = state;
        r.filePath.assign(path);
        history_.addCallRow(r);
        return r.id;
    }
    std::vector<std::string> listedCallers() const {
        std::vector<std::string> out;
        for (const CallRow& row : history_.list().rows()) out.push_back(row.text[kColumnCallerNumber]);
        return out;
    }
    ListCommands commands(ListCommands::Hooks h = {}) {
        h.options = [this] { return options_; };
        h.programDir = dir_.path().string() + "/";
        return ListCommands(history_, std::move(h));
    }

    TestDir dir_;
    std::uint32_t options_ = 0;
    int queued_ = 0;  // records handed to the link's peers
    CallHistory history_;
};

TEST_F(ListCommandsTest, RemovingShiftsYoungerRecordsDownAndKeepsFilesAsTheOptionsSay) {
    struct Case {
        const char* file;
        std::uint32_t options;
        bool kept;
    };
    const Case cases[] = {
        {"Messages/MSG_1.wav", 0, false},
        {"Messages/MSG_2.wav", settings::OptionBits::KeepVoiceFiles, true},
        {"FaxIn/FAX_1.SFF", 0, false},
        {"FaxIn/FAX_2.tif", settings::OptionBits::KeepFaxFiles, true},
        {"FaxIn/FAX_3.tif", settings::OptionBits::KeepVoiceFiles, false},
        {"Answer/Welcome1.wav", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::filesystem::path file = dir_.path() / c.file;
        std::filesystem::create_directories(file.parent_path());
        test::touch(file);
        options_ = c.options;
        const std::uint32_t id = addCall("1", 4, file.string());
        ListCommands cmd = commands();
        EXPECT_EQ(cmd.removeEntries({id}), 1);
        EXPECT_EQ(std::filesystem::exists(file), c.kept);
        EXPECT_EQ(history_.find(id), nullptr);
    }
    // A file outside the program directory is never deleted.
    TestDir elsewhere;
    test::touch(elsewhere / "x.wav");
    ListCommands cmd = commands();
    cmd.removeEntries({addCall("2", 4, (elsewhere / "x.wav").string())});
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "x.wav"));
}

// Remove entry deletes just its rows, tells no peer, saves once; the next call takes the
// freed slot, and a record that leaves the ring takes its row along.
TEST_F(ListCommandsTest, RemovingDeletesOnlyThatRowAndTellsNoPeer) {
    struct Case {
        const char* name;
        int calls;                        // "1", "2", ... into a ring of 5
        std::vector<std::string> remove;  // callers; "none" has no row
        int removed;
        std::vector<std::string> rows, rowsAfterNext, saved;
    };
    const Case cases[] = {
        {"three calls, the middle one", 3, {"2", "none", "3"}, 1, {"3", "1"}, {"N", "3", "1"},
         {"1", "3", "N"}},
        {"full ring, the second row", 6, {"5"}, 1, {"6", "4", "3", "2"}, {"N", "6", "4", "3"},
         {"3", "4", "6", "N"}},
        {"full ring, the top and the bottom row", 6, {"6", "2"}, 2, {"5", "4", "3"},
         {"N", "5", "4", "3"}, {"3", "4", "5", "N"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        history_.ring().clear();
        history_.list().rebuild();
        std::map<std::string, std::uint32_t> ids{{"none", 999}};
        for (int i = 1; i <= c.calls; ++i) ids[std::to_string(i)] = addCall(std::to_string(i));
        std::vector<std::uint32_t> selected;
        for (const std::string& caller : c.remove) selected.push_back(ids.at(caller));
        history_.flush();
        queued_ = 0;
        ListCommands cmd = commands();
        EXPECT_EQ(cmd.removeEntries(selected), c.removed);
        EXPECT_EQ(queued_, 0) << "the link's peers are not told";
        EXPECT_EQ(listedCallers(), c.rows);
        addCall("N");
        EXPECT_EQ(listedCallers(), c.rowsAfterNext);
        history_.startSave();
        history_.flush();
        CallRing loaded(5);
        ASSERT_TRUE(loadCallTable(callTablePath(dir_.path().string() + "/"), loaded, {}));
        std::vector<std::string> saved;
        for (std::uint32_t i : loaded.walkOrder())
            if (loaded.at(i).inUse()) saved.emplace_back(loaded.at(i).callerNumber.view());
        EXPECT_EQ(saved, c.saved);
    }
}

TEST_F(ListCommandsTest, DoubleClickActsByState) {
    const std::string d = dir_.path().string() + "/";
    const std::string sff = d + "x.SFF", tif = d + "x.tif";
    const std::string longTif = d + std::string(300 - d.size(), 'n') + ".tif";
    std::vector<std::string> seen;
    bool opens = true, plays = true;
    std::string written;
    ListCommands::Hooks h;
    h.playSound = [&](const std::string& p) {
        seen.push_back("play " + p);
        return plays;
    };
    h.openDocument = [&](const std::string& p) {
        seen.push_back("open " + p);
        return opens ? platform::spawnProgram({"true"}) : platform::SpawnResult{};
    };
    h.box = [&](const std::string& t) { seen.push_back("box " + t); };
    h.convertFax = [&](const std::string& from, std::string* out) {
        seen.push_back("convert " + from);
        *out = written;
        return from.ends_with("bad.SFF") ? 1 : from.ends_with("odd.SFF") ? 7 : 0;
    };
    h.editText = [&](const std::string& current) -> std::optional<std::string> {
        seen.push_back("edit " + current);
        return std::nullopt;
    };
    using settings::OptionBits;
    struct Case {
        std::uint32_t state;
        std::string path;
        std::uint32_t options;
        bool opensOk, playsOk;
        std::string written;
        std::vector<std::string> expected;
        std::uint32_t stateAfter;
        std::string pathAfter;
        bool sffKept;
    };
    const std::string oddBox = "box Error 7 occured during conversion of " + d +
                               "odd.SFF\n\nPlease inform the program author and send the "
                               "fax-file and error number along with the message";
    const Case cases[] = {
        {4, "/m.wav", 0, true, true, "", {"play /m.wav"}, 7, "/m.wav", true},
        {7, "/m.wav", 0, true, true, "", {"play /m.wav"}, 7, "/m.wav", true},
        {4, "/m.wav", 0, true, false, "", {"play /m.wav"}, 4, "/m.wav", true},
        {5, sff, 0, true, true, tif, {}, 5, sff, true},
        {5, d + "bad.SFF", OptionBits::FaxToTiff, true, true, "",
         {"convert " + d + "bad.SFF",
          "box The fax header could not be read. This is normaly caused by a broken connection."},
         5, d + "bad.SFF", true},
        {5, d + "odd.SFF", OptionBits::FaxToTiff, true, true, "", {"convert " + d + "odd.SFF", oddBox},
         5, d + "odd.SFF", true},
        {5, sff, OptionBits::FaxToTiff, true, true, tif, {"convert " + sff, "open " + tif}, 8, tif,
         false},
        {5, sff, OptionBits::FaxToTiff | OptionBits::KeepFaxAfterTiff, true, true, tif,
         {"convert " + sff, "open " + tif}, 8, tif, true},
        {5, sff, OptionBits::FaxToTiff, true, true, "", {"convert " + sff}, 5, sff, true},
        {5, sff, OptionBits::FaxToTiff, true, true, longTif, {"convert " + sff, "open " + longTif},
         8, sff, true},
        {6, tif, 0, true, true, "", {"open " + tif}, 8, tif, true},
        {6, tif, 0, false, true, "", {"open " + tif, "box Error viewing fax."}, 6, tif, true},
        {10, "", 0, true, true, "", {"edit "}, 10, "", true},
        {1, "", 0, true, true, "", {}, 1, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + " " + c.path + " -> " + c.written);
        seen.clear();
        options_ = c.options;
        opens = c.opensOk;
        plays = c.playsOk;
        written = c.written;
        const std::uint32_t id = addCall("1", c.state, c.path);
        test::touch(sff);  // after the call, whose slot's old record took its file along
        ListCommands cmd = commands(h);
        cmd.activate(id);
        EXPECT_EQ(seen, c.expected);
        EXPECT_EQ(history_.find(id)->state, c.stateAfter);
        EXPECT_EQ(history_.find(id)->filePath.view(), c.pathAfter);
        EXPECT_EQ(std::filesystem::exists(sff), c.sffKept);
    }
}

TEST_F(ListCommandsTest, RemarkLookupAndRenaming) {
    const std::uint32_t id = addCall("0301234567");
    std::vector<std::string> started;
    ListCommands::Hooks h;
    h.editText = [](const std::string&) { return std::optional<std::string>(std::string(200, 'r')); };
    h.lookupApp = [] { return std::string("lookup --number=%s \"%s\""); };
    h.lookupWindow = [] { return std::string("Phone Book"); };
    bool windowThere = false;
    h.raiseWindow = [&](const std::string& title) { return windowThere && title == "Phone Book"; };
    h.spawn = [&](const std::vector<std::string>& argv) {
        for (const auto& a : argv) started.push_back(a);
        return platform::SpawnResult{};
    };
    ListCommands cmd = commands(h);
    EXPECT_TRUE(cmd.editRemark(id));
    EXPECT_EQ(history_.find(id)->comment.view(), std::string(128, 'r'));
    EXPECT_EQ(history_.list().rowById(id)->text[kColumnComment], std::string(128, 'r'));

    cmd.lookup(id);
    EXPECT_EQ(started, (std::vector<std::string>{"lookup", "--number=0301234567", "%s"}));
    started.clear();
    windowThere = true;
    cmd.lookup(id);
    EXPECT_TRUE(started.empty()) << "the open window is brought forward instead";
    EXPECT_EQ(lookupCommand("app ;rm -rf %s", "1 2;x").at(3), "1 2;x") << "one argument";

    const std::uint32_t hidden = addCall("");
    history_.find(hidden)->flags |= kFlagRestricted;
    EXPECT_TRUE(renameCaller(history_.ring(), "0301234567", false, "Anna"));
    EXPECT_FALSE(renameCaller(history_.ring(), "0301234567", false, "Anna")) << "no change";
    EXPECT_TRUE(renameCaller(history_.ring(), "Restricted", true, "Hidden"));
    EXPECT_EQ(history_.find(hidden)->callerName.view(), "Hidden");
}

// ---- Clearing a line ----

TEST(LineEventsTest, ClearingStoresTheReasonCountAndLogAndLetsGoOfTheLine) {
    TestDir dir;
    CallHistory history(CallHistory::Config{dir.path().string() + "/", 10, {}, {}, {}});
    history.load();
    LineRecords lines;
    std::vector<std::string> seen;
    LineEvents::Hooks h;
    h.killTimer = [&](platform::TimerId id) { seen.push_back("kill " + std::to_string(id)); };
    h.closePopup = [&](int line) { seen.push_back("popup " + std::to_string(line)); };
    h.afterCall = [&](const TCallRecord& r) { seen.push_back("after " + std::string(r.callerNumber.view())); };
    h.launchAtClear = [&](const TCallRecord&, const LineRecord& l) { seen.push_back("launch " + l.launchAtClear); };
    h.nowSeconds1901 = [] { return 1000u + 42u; };
    LineEvents events(lines, history, h);

    struct Case {
        int id;
        std::uint16_t reason;
        std::uint32_t stateBefore, stateAfter;
        bool launch, log;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, 0x3490, 0, 0, false, true, {"kill 1", "popup 0", "after 1"}},
        {1, 0x349A, 1, 9, true, false, {"kill 2", "popup 1", "launch prog", "after 1"}},
        {2, 0x3490, 0, 0, false, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        seen.clear();
        TCallRecord& r = history.takeNew(makeArrivalTime(std::chrono::system_clock::now()));
        r.arrivalSeconds = 1000;
        r.callerNumber.assign("1");
        r.state = c.stateBefore;
        const std::uint32_t id = r.id;
        if (LineRecord* line = lines.at(c.id)) {
            line->callId = id;
            line->logCall = c.log;
            line->launch = c.launch;
            line->launchAtClear = "prog";
            events.stateChanged(c.id, capi::D_ConnectPending);
            EXPECT_EQ(line->lineState, capi::D_ConnectPending);
        }
        events.stateChanged(c.id, std::uint32_t(c.reason) << 16 | capi::Disconnected);
        EXPECT_EQ(seen, c.expected);
        const TCallRecord* after = history.find(id);
        ASSERT_TRUE(after);
        EXPECT_EQ(after->state, c.stateAfter);
        if (LineRecord* line = lines.at(c.id)) {
            EXPECT_EQ(after->reason, c.reason);
            EXPECT_EQ(after->count, 42);
            EXPECT_EQ(line->callId, 0u) << "unbound";
            seen.clear();
            events.stateChanged(c.id, 0x3490u << 16);
            EXPECT_EQ(seen, (std::vector<std::string>{"kill " + std::to_string(c.id + 1),
                                                      "popup " + std::to_string(c.id)}))
                << "a second clearing changes no record";
        } else {
            EXPECT_EQ(after->reason, 0) << "no line, no clearing";
        }
    }
    history.flush();
    const std::string log = test::readText(dir / "orvelin.txt");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    TCallRecord late;
    late.arrivalSeconds = 0xFFFFFFF0u;
    EXPECT_EQ(clearedCallSeconds(late, 0x10u), 0x20) << "across the wrap of the seconds";
}

// While the B channel is up the line holds a converter without files: a gain state only.
TEST(LineEventsTest, TheGainOnlyConverterLivesFromTheLinkUpToTheClearing) {
    TestDir dir;
    CallHistory history(CallHistory::Config{dir.path().string() + "/", 10, {}, {}, {}});
    history.load();
    LineRecords lines;
    LineEvents events(lines, history, LineEvents::Hooks{});
    for (int id : {0, 1}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(lines.at(id)->gainOnly, nullptr);
        events.stateChanged(id, capi::Connected);
        ASSERT_NE(lines.at(id)->gainOnly, nullptr);
        EXPECT_FALSE(lines.at(id)->gainOnly->Convert()) << "it has no files to convert";
        events.stateChanged(id, 0x3490u << 16 | capi::Disconnected);
        EXPECT_EQ(lines.at(id)->gainOnly, nullptr);
    }
    history.flush();
}

TEST(Docking, FrameKeepsToTheRightEdgeAndNeverTakesMoreThanHalf) {
    struct Case {
        const char* name;
        QRect workArea;
        int columns;
        QRect frame;
    };
    const std::vector<Case> cases = {
        {"wide desktop", {0, 0, 1920, 1040}, 600, {1292, 0, 628, 1040}},
        {"panel at the top", {0, 32, 1280, 992}, 400, {852, 32, 428, 992}},
        {"narrow desktop: the right half", {0, 0, 1000, 700}, 600, {500, 0, 500, 700}},
        {"second screen", {1920, 0, 1280, 1024}, 600, {2572, 0, 628, 1024}},
        {"narrow second screen: its right half", {1920, 0, 800, 600}, 900, {2320, 0, 400, 600}},
        {"second screen narrower than twice the columns", {1920, 0, 1280, 1024}, 1100,
         {2560, 0, 640, 1024}},
        {"screen left of the first", {-1280, 0, 1280, 1024}, 1100, {-640, 0, 640, 1024}},
        {"no work area", {}, 600, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dockedFrameGeometry(c.workArea, c.columns), c.frame);
    }
}

}  // namespace
}  // namespace orvelin::client
