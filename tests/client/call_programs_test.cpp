// Programs run at calls and the workers that start them and finish faxes: caller
// texts stay single arguments, waits end on their event, on time or on stop, and a
// finished fax reaches a real window as a record.
#include "client/call_programs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/named_event.h"
#include "settings/option_bits.h"
#include "tests/client/test_dir.h"
#include "tests/media/fax_support.h"
#include "tests/support/qt_environment.h"

namespace {

using namespace orvelin::client;
using namespace std::chrono_literals;
using orvelin::settings::OptionBits;
using orvelin::test::TestDir;
using Words = std::vector<std::string>;


// Call ids unique to this process, so parallel test processes never share an event.
std::uint32_t freshCallId() {
    static std::atomic<std::uint32_t> next{0};
    return (static_cast<std::uint32_t>(::getpid()) & 0xFFFFu) << 12 | (++next & 0xFFFu);
}

// Collects what the workers post.
class SinkWindow : public platform::AppWindow {
  public:
    ~SinkWindow() override { closeWindow(); }
    std::vector<platform::LParam> threadDone;
    std::vector<std::unique_ptr<FaxDone>> faxDone;

  protected:
    platform::LResult dispatch(platform::AppMessage& m) override {
        if (m.id == platform::WM_THREAD_DONE) threadDone.push_back(m.lParam);
        if (m.id == platform::WM_FAX_DONE) {
            auto done = m.take<FaxDone>();
            EXPECT_TRUE(done) << "WM_FAX_DONE without its record";
            EXPECT_EQ(done ? static_cast<platform::LParam>(done->handle) : -1, m.lParam);
            if (done) faxDone.push_back(std::move(done));
        }
        return 0;
    }
};

TCallRecord hostileRecord() {
    TCallRecord r;
    r.id = freshCallId();
    r.callerNumber.assign("0301 234\"5");
    r.callerName.assign("$(touch pwned); rm -rf ~ `id`");
    r.calledNumber.assign("4711");
    r.comment.assign("a;b | c > out !f !p");
    r.filePath.assign("/data/FaxIn/fax one.sff");
    r.arrival = {2026, 12, 2, 8, 7, 5, 9, 0};
    r.cip = 4;
    r.reason = 0x3490;
    r.count = 17;
    r.setState(CallState::VoiceMessage);
    r.setMsnIndex(kNoMsnIndex);
    return r;
}

// Records the argument vectors instead of starting programs.
struct FakeSpawn {
    std::mutex mutex;
    std::vector<Words> calls;
    bool fail = false;
    std::size_t count() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    Words last() {
        std::lock_guard lock(mutex);
        return calls.empty() ? Words{} : calls.back();
    }
};

CallWorkers::Hooks fakeHooks(const std::shared_ptr<FakeSpawn>& spawn) {
    CallWorkers::Hooks h;
    h.options = [] { return 0u; };
    h.onCallRun = [] { return std::optional<std::string>("/usr/bin/oncall"); };
    h.onCallParams = [] { return std::string("!c !n"); };
    h.afterCallRun = [] { return std::optional<std::string>("/usr/bin/after"); };
    h.afterCallParams = [] { return std::string("!f !y !c"); };
    h.spawn = [spawn](const Words& argv) {
        std::lock_guard lock(spawn->mutex);
        spawn->calls.push_back(argv);
        if (spawn->fail) return platform::SpawnResult{std::nullopt, "No such file or directory"};
        return platform::spawnProgram({"/bin/true"});
    };
    h.print = [](const std::string&) { return platform::SpawnResult{std::nullopt, "no printer"}; };
    h.errorBox = [](const std::string& text, const std::string& caption) {
        ADD_FAILURE() << "unexpected box " << caption << ": " << text;
    };
    return h;
}

bool waitFor(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, 60000);
}

// --- Commands and placeholders ---------------------------------------------------

TEST(ProgramCommand, BlankRuleGivesTheSameArgumentsAndProgramPathStaysWhole) {
    const Words expected = {"/opt/my tools/run", "a", "b c"};
    EXPECT_EQ(makeProgramCommand("/opt/my tools/run", "a \"b c\"").argv(), expected);
    EXPECT_EQ(makeProgramCommand("/opt/my tools/run", " a \"b c\"").argv(), expected);
    EXPECT_EQ(makeProgramCommand("", "/bin/prog x").argv(), (Words{"/bin/prog", "x"}));
    EXPECT_EQ(makeProgramCommand("/bin/prog", "").argv(), (Words{"/bin/prog"}));
    EXPECT_TRUE(makeProgramCommand("", "").argv().empty());
    EXPECT_TRUE(makeProgramCommand("", "  ").argv().empty());
}

TEST(ProgramCommand, HostileCallerTextsStayOneArgumentEachAndAreNotExpandedAgain) {
    const TCallRecord r = hostileRecord();
    const ProgramCommand c =
        makeProgramCommand("/bin/prog", "--num=!c !n \"!x\" !f !p !c", placeholdersAfterCall(r));
    EXPECT_EQ(c.argv(), (Words{"/bin/prog", "--num=0301 234\"5", "$(touch pwned); rm -rf ~ `id`",
                               "a;b | c > out !f !p", "/data/FaxIn/fax one.sff", "17", "!c"}))
        << "one pass, first occurrence only";
}

TEST(ProgramCommand, WithoutProgramPathTheProgramWordIsNeverACallerText) {
    const TCallRecord r = hostileRecord();
    EXPECT_EQ(makeProgramCommand("", "!c !c", placeholdersAtCall(r, 1)).argv(),
              (Words{"!c", "0301 234\"5"}));
}

TEST(Placeholders, AtCallAndAfterCallValues) {
    TCallRecord r = hostileRecord();
    const ProgramCommand at = makeProgramCommand("p", "!t !d !l !i !m !r !f", placeholdersAtCall(r, 3));
    EXPECT_EQ(at.words, (Words{"07:05:09", "2026-12-08", "3", "4", "4711", "!r", "!f"}))
        << "no reason or file at call";
    const ProgramCommand after = makeProgramCommand("p", "!l !r !y !p", placeholdersAfterCall(r));
    EXPECT_EQ(after.words, (Words{"65535", "13456", "4", "17"}));
    r.setMsnIndex(2);
    EXPECT_EQ(makeProgramCommand("p", "!l", placeholdersAfterCall(r)).words, (Words{"2"}));
}

TEST(Placeholders, EventNamesPrintTheIdAsSigned32Bit) {
    EXPECT_EQ(waitEventName(42), "/OrvelinWait42");
    EXPECT_EQ(faxEventName(0x80000001u), "/OrvelinFax-2147483647");
}

// --- Launcher ---------------------------------------------------------------------

TEST(Launcher, RealProgramGetsEachPlaceholderAsOneArgumentAndNoShellRuns) {
    TestDir dir;
    const auto out = dir / "argv.txt";
    const auto script = dir / "argv.sh";
    {
        std::ofstream s(script);
        s << "printf '%s\\n' \"$#\" \"$@\" > '" << (dir / "argv.tmp").string() << "' && mv '"
          << (dir / "argv.tmp").string() << "' '" << out.string() << "'\n";
    }
    SinkWindow window;
    CallWorkers::Hooks hooks = CallWorkers::defaultHooks();
    hooks.afterCallRun = [] { return std::optional<std::string>("/bin/sh"); };
    hooks.afterCallParams = [&] { return std::string("\"") + script.string() + "\" !c !n !x \"!m !y\""; };
    hooks.errorBox = [](const std::string& text, const std::string&) { ADD_FAILURE() << text; };
    CallWorkers workers(window.ref(), hooks);
    const TCallRecord r = hostileRecord();
    const WorkerHandle h = workers.runAfterCallProgram(&r);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(out); })) << "program never ran";
    EXPECT_EQ(orvelin::test::readText(out),
              "4\n0301 234\"5\n$(touch pwned); rm -rf ~ `id`\na;b | c > out !f !p\n4711 4\n");
    ASSERT_TRUE(waitFor([&] { return !window.threadDone.empty(); }));
    EXPECT_EQ(window.threadDone, (std::vector<platform::LParam>{static_cast<platform::LParam>(h)}));
    workers.threadDone(h);
    EXPECT_EQ(workers.workerCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_FALSE(std::filesystem::exists(dir / "pwned"));
}

TEST(Launcher, NothingToStartOrNoProgramSettingStartsNoWorker) {
    auto spawn = std::make_shared<FakeSpawn>();
    CallWorkers::Hooks hooks = fakeHooks(spawn);
    hooks.afterCallRun = [] { return std::optional<std::string>(); };
    SinkWindow window;
    CallWorkers workers(window.ref(), hooks);
    const TCallRecord r = hostileRecord();
    EXPECT_EQ(workers.runAfterCallProgram(&r), 0u);
    EXPECT_EQ(workers.runAfterCallProgram(nullptr), 0u);
    EXPECT_EQ(workers.launchProgram(r.id, makeProgramCommand("", " "), 0), 0u);
    EXPECT_EQ(workers.workerCount(), 0u);
}

TEST(Launcher, WaitZeroMakesNoEventAndAWaitUsesTheCallsEvent) {
    auto spawn = std::make_shared<FakeSpawn>();
    CallWorkers::Hooks hooks = fakeHooks(spawn);
    std::mutex mutex;
    std::vector<std::pair<std::string, std::chrono::milliseconds>> waits;
    hooks.waitForEvent = [&](const std::string& name, std::chrono::milliseconds t,
                             const platform::StopFlag&) {
        std::lock_guard lock(mutex);
        waits.emplace_back(name, t);
        return true;
    };
    SinkWindow window;
    CallWorkers workers(window.ref(), hooks);
    const TCallRecord r = hostileRecord();
    workers.launchProgram(r.id, makeProgramCommand("/bin/a", "x"), 0);
    ASSERT_TRUE(waitFor([&] { return window.threadDone.size() == 1; }));
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(waits.empty()) << "no event for a wait of 0";
    }
    workers.launchProgram(r.id, makeProgramCommand("/bin/b", "y"), 5000);
    ASSERT_TRUE(waitFor([&] { return window.threadDone.size() == 2; }));
    std::lock_guard lock(mutex);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].first, waitEventName(r.id));
    EXPECT_EQ(waits[0].second, 5000ms);
    EXPECT_EQ(spawn->last(), (Words{"/bin/b", "y"}));
}

// The program starts when its event is signalled, or else when the wait ends.
TEST(Launcher, ProgramStartsOnItsEventOrAfterItsWait) {
    struct Case {
        const char* name;
        std::uint32_t waitMs;
        bool signal;
    };
    for (const Case& c : {Case{"signalled before an hour's wait ends", 3'600'000, true},
                          Case{"unsignalled, after its wait", 30, false}}) {
        SCOPED_TRACE(c.name);
        auto spawn = std::make_shared<FakeSpawn>();
        SinkWindow window;
        CallWorkers workers(window.ref(), [&] {
            CallWorkers::Hooks h = fakeHooks(spawn);
            h.waitForEvent = waitForNamedEvent;
            return h;
        }());
        const std::uint32_t id = freshCallId();
        workers.launchProgram(id, makeProgramCommand("/bin/a", ""), c.waitMs);
        // The event exists once the worker waits on it; until then signalling fails.
        if (c.signal) {
            ASSERT_TRUE(waitFor([&] { return platform::NamedEvent::signal(waitEventName(id)); }));
        }
        ASSERT_TRUE(waitFor([&] { return spawn->count() == 1; }));
        EXPECT_EQ(spawn->last(), (Words{"/bin/a"}));
        ASSERT_TRUE(waitFor([&] { return window.threadDone.size() == 1; }));
    }
}

TEST(Launcher, FailedStartRaisesTheBoxAndStillReportsDone) {
    auto spawn = std::make_shared<FakeSpawn>();
    spawn->fail = true;
    std::mutex mutex;
    std::vector<std::string> boxes;
    CallWorkers::Hooks hooks = fakeHooks(spawn);
    hooks.errorBox = [&](const std::string& text, const std::string& caption) {
        std::lock_guard lock(mutex);
        boxes.push_back(caption + "|" + text);
    };
    SinkWindow window;
    CallWorkers workers(window.ref(), hooks);
    const WorkerHandle h = workers.launchProgram(freshCallId(), makeProgramCommand("/nope", ""), 0);
    ASSERT_TRUE(waitFor([&] { return window.threadDone.size() == 1; }));
    EXPECT_EQ(window.threadDone[0], static_cast<platform::LParam>(h));
    std::lock_guard lock(mutex);
    EXPECT_EQ(boxes, (std::vector<std::string>{"Error launching program|No such file or directory"}));
}

TEST(Launcher, StopWhileWorkersWaitEndsThemWithoutStartingAnything) {
    auto spawn = std::make_shared<FakeSpawn>();
    TestDir dir;
    const auto sff = dir / "held.sff";
    orvelin::test::writeBytes(sff, {1, 2, 3});
    SinkWindow window;
    auto workers = std::make_unique<CallWorkers>(window.ref(), [&] {
        CallWorkers::Hooks h = fakeHooks(spawn);
        h.waitForEvent = waitForNamedEvent;
        h.faxWait = 3'600'000ms;
        return h;
    }());
    TCallRecord fax = hostileRecord();
    fax.filePath.assign(sff.string());
    workers->launchProgram(fax.id, makeProgramCommand("/bin/a", ""), 3'600'000);
    workers->startFaxThread(fax);
    EXPECT_EQ(workers->workerCount(), 2u);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        workers->stop();
        stopped = true;
    });
    const bool ended = waitFor([&] { return stopped.load(); });
    stopper.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(workers->workerCount(), 0u);
    EXPECT_EQ(workers->launchProgram(fax.id, makeProgramCommand("/bin/a", ""), 0), 0u)
        << "no new workers after stop";
    workers.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(spawn->count(), 0u);
    EXPECT_TRUE(window.faxDone.empty());
    EXPECT_EQ(orvelin::test::readBytes(sff), (std::vector<std::uint8_t>{1, 2, 3}));
}

// --- Fax post-processor -------------------------------------------------------------

std::vector<std::uint8_t> smallFax() {
    orvelin::test::SffBuilder sff;
    orvelin::test::Row row(64, 0);
    for (int i = 10; i < 30; ++i) row[static_cast<std::size_t>(i)] = 1;
    sff.Page(1, 64).Row(row).Row(orvelin::test::Row(64, 0)).End();
    return sff.bytes();
}

struct FaxRun {
    std::unique_ptr<FaxDone> done;
    Words afterCall;
};

FaxRun runFax(const std::filesystem::path& sff, std::uint32_t options,
              std::function<platform::SpawnResult(const std::string&)> print = nullptr,
              std::vector<std::string>* boxes = nullptr) {
    auto spawn = std::make_shared<FakeSpawn>();
    CallWorkers::Hooks hooks = fakeHooks(spawn);
    hooks.options = [options] { return options; };
    hooks.faxWait = 0ms;
    if (print) hooks.print = std::move(print);
    if (boxes) hooks.errorBox = [boxes](const std::string& t, const std::string&) { boxes->push_back(t); };
    SinkWindow window;
    CallWorkers workers(window.ref(), hooks);
    TCallRecord r = hostileRecord();
    r.filePath.assign(sff.string());
    r.setState(CallState::BrokenFax);
    const WorkerHandle h = workers.startFaxThread(r);
    FaxRun run;
    if (!waitFor([&] { return !window.faxDone.empty() && spawn->count() == 1; })) {
        ADD_FAILURE() << "no WM_FAX_DONE or no after-call program";
        return run;
    }
    run.done = std::move(window.faxDone.front());
    EXPECT_EQ(run.done->handle, h);
    EXPECT_EQ(run.done->callId, r.id);
    workers.threadDone(h);
    run.afterCall = spawn->last();
    // The window applies the outcome to its record.
    EXPECT_TRUE(applyFaxDone(r, *run.done));
    EXPECT_EQ(r.state, static_cast<std::uint32_t>(run.done->outcome.state));
    EXPECT_EQ(r.filePath.view(), run.done->outcome.filePath);
    return run;
}

// Converted or not, the record names the file that is left and the after-call program
// is started with it.
TEST(FaxPost, TheOutcomeNamesTheFileLeftAndTheAfterCallProgramGetsIt) {
    struct Case {
        const char* name;
        const char* sff;
        std::vector<std::uint8_t> bytes;
        CallState state;
        const char* left;  // the file the record names
        bool sffKept;
        const char* stateDigit;
    };
    const Case cases[] = {
        {"converted: the TIFF, the SFF deleted", "fax 1.SFF", smallFax(), CallState::Fax,
         "fax 1.tif", false, "6"},
        {"not a fax: the SFF kept, still broken", "bad.sff", {'n', 'o', 't', ' ', 's', 'f', 'f'},
         CallState::BrokenFax, "bad.sff", true, "5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const auto sff = dir / c.sff;
        const auto left = dir / c.left;
        orvelin::test::writeBytes(sff, c.bytes);
        const FaxRun run = runFax(sff, 0);
        ASSERT_TRUE(run.done);
        EXPECT_EQ(run.done->outcome.state, c.state);
        EXPECT_EQ(run.done->outcome.filePath, left.string());
        EXPECT_TRUE(std::filesystem::exists(left));
        EXPECT_EQ(std::filesystem::exists(sff), c.sffKept);
        EXPECT_EQ(run.afterCall, (Words{"/usr/bin/after", left.string(), c.stateDigit, "0301 234\"5"}));
    }
}

TEST(FaxPost, KeepOptionKeepsTheSffAndPrintingDecidesViewedOrBox) {
    TestDir dir;
    const auto sff = dir / "fax.sff";
    orvelin::test::writeBytes(sff, smallFax());
    std::string printed;
    const FaxRun viewed = runFax(sff, OptionBits::KeepFaxAfterTiff | OptionBits::PrintFaxes,
                                 [&](const std::string& p) {
                                     printed = p;
                                     return platform::spawnProgram({"/bin/true"});
                                 });
    ASSERT_TRUE(viewed.done);
    EXPECT_TRUE(std::filesystem::exists(sff));
    EXPECT_EQ(printed, (dir / "fax.tif").string());
    EXPECT_EQ(viewed.done->outcome.state, CallState::ViewedFaxMessage);

    std::vector<std::string> boxes;
    const FaxRun refused = runFax(sff, OptionBits::PrintFaxes, nullptr, &boxes);
    ASSERT_TRUE(refused.done);
    EXPECT_EQ(refused.done->outcome.state, CallState::Fax);
    EXPECT_EQ(boxes, (std::vector<std::string>{"Error viewing fax."}));
    EXPECT_FALSE(std::filesystem::exists(sff)) << "without the keep option";
}

TEST(FaxPost, SignalledEventEndsTheWaitEarly) {
    TestDir dir;
    const auto sff = dir / "early.sff";
    orvelin::test::writeBytes(sff, smallFax());
    auto spawn = std::make_shared<FakeSpawn>();
    CallWorkers::Hooks hooks = fakeHooks(spawn);
    hooks.waitForEvent = waitForNamedEvent;
    hooks.faxWait = 3'600'000ms;
    SinkWindow window;
    CallWorkers workers(window.ref(), hooks);
    TCallRecord r = hostileRecord();
    r.filePath.assign(sff.string());
    workers.startFaxThread(r);
    ASSERT_TRUE(waitFor([&] { return platform::NamedEvent::signal(faxEventName(r.id)); }));
    ASSERT_TRUE(waitFor([&] { return window.faxDone.size() == 1; }));
    EXPECT_EQ(window.faxDone[0]->outcome.state, CallState::Fax);
}

TEST(FaxPost, OutcomeForAnOverwrittenSlotChangesNothing) {
    TCallRecord other = hostileRecord();
    other.filePath.assign("/keep/me.wav");
    FaxDone done;
    done.callId = other.id + 1;
    done.outcome = {CallState::Fax, "/x/fax.tif"};
    EXPECT_FALSE(applyFaxDone(other, done));
    EXPECT_EQ(other.filePath.view(), "/keep/me.wav");
    EXPECT_EQ(other.state, static_cast<std::uint32_t>(CallState::VoiceMessage));
}

TEST(FaxPost, SffNameTestLooksAtTheFileNameInAnyCase) {
    EXPECT_TRUE(hasSffName("/d/FaxIn/FAX.Sff"));
    EXPECT_TRUE(hasSffName("fax.sff.bak"));
    EXPECT_FALSE(hasSffName("/d/old.sff/fax.tif"));
    EXPECT_FALSE(hasSffName("/d/faxsff"));
}

}  // namespace
