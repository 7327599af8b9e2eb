#include "client/call_programs.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

#include "platform/message_box.h"
#include "platform/named_event.h"
#include "settings/settings_store.h"

namespace orvelin::client {

namespace {

std::string timeText(const LocalDateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", int{t.hour}, int{t.minute}, int{t.second});
    return buf;
}

std::string dateText(const LocalDateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", int{t.year}, int{t.month}, int{t.day});
    return buf;
}

std::string eventName(std::string_view prefix, std::uint32_t callId) {
    return platform::namedEventName(prefix, static_cast<std::int32_t>(callId));
}

// How often a waiting worker looks at its stop flag.
constexpr std::chrono::milliseconds kStopSlice{100};

}  // namespace

std::vector<platform::Placeholder> placeholdersAtCall(const TCallRecord& r, unsigned lineNumber) {
    return {
        {kPlaceholderCaller, std::string(r.callerNumber.view())},
        {kPlaceholderName, std::string(r.callerName.view())},
        {kPlaceholderCalled, std::string(r.calledNumber.view())},
        {kPlaceholderComment, std::string(r.comment.view())},
        {kPlaceholderTime, timeText(r.arrival)},
        {kPlaceholderDate, dateText(r.arrival)},
        {kPlaceholderLine, std::to_string(lineNumber)},
        {kPlaceholderCip, std::to_string(r.cip)},
    };
}

std::vector<platform::Placeholder> placeholdersAfterCall(const TCallRecord& r) {
    return {
        {kPlaceholderCaller, std::string(r.callerNumber.view())},
        {kPlaceholderName, std::string(r.callerName.view())},
        {kPlaceholderCalled, std::string(r.calledNumber.view())},
        {kPlaceholderComment, std::string(r.comment.view())},
        {kPlaceholderTime, timeText(r.arrival)},
        {kPlaceholderDate, dateText(r.arrival)},
        {kPlaceholderReason, std::to_string(r.reason)},
        {kPlaceholderLine, std::to_string(r.msnIndex())},
        {kPlaceholderCip, std::to_string(r.cip)},
        {kPlaceholderFile, std::string(r.filePath.view())},
        {kPlaceholderState, std::to_string(r.state)},
        {kPlaceholderCount, std::to_string(r.count)},
    };
}

std::vector<std::string> ProgramCommand::argv() const {
    std::vector<std::string> out;
    if (!program.empty()) out.push_back(program);
    out.insert(out.end(), words.begin(), words.end());
    if (out.empty() || out.front().empty()) return {};
    return out;
}

ProgramCommand makeProgramCommand(std::string_view program, std::string_view parameters,
                                  const std::vector<platform::Placeholder>& placeholders) {
    ProgramCommand command;
    command.program = std::string(program);
    std::vector<std::string> words = platform::splitCommandLine(parameters);
    if (placeholders.empty() || words.empty()) {
        command.words = std::move(words);
        return command;
    }
    // Without a program path the first word is the program: never from a caller.
    const std::size_t fixed = program.empty() ? 1 : 0;
    std::vector<std::string> tail(words.begin() + static_cast<std::ptrdiff_t>(fixed), words.end());
    tail = platform::substitutePlaceholders(tail, placeholders, platform::Occurrences::First);
    words.resize(fixed);
    words.insert(words.end(), std::make_move_iterator(tail.begin()),
                 std::make_move_iterator(tail.end()));
    command.words = std::move(words);
    return command;
}

std::string waitEventName(std::uint32_t callId) {
    return eventName("OrvelinWait", callId);
}

std::string faxEventName(std::uint32_t callId) {
    return eventName("OrvelinFax", callId);
}

bool waitForNamedEvent(const std::string& name, std::chrono::milliseconds timeout,
                       const platform::StopFlag& stop) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    auto remaining = [&] {
        return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                        std::chrono::milliseconds{0});
    };
    std::optional<platform::NamedEvent> event = platform::NamedEvent::create(name);
    while (!stop.requested()) {
        const std::chrono::milliseconds left = remaining();
        if (left.count() == 0) return true;
        const std::chrono::milliseconds slice = std::min(left, kStopSlice);
        if (!event) {
            // No event to wait on: the program still waits its time.
            if (stop.waitFor(slice)) return false;
            continue;
        }
        switch (event->wait(slice)) {
            case platform::NamedEvent::WaitResult::Signalled:
                return !stop.requested();
            case platform::NamedEvent::WaitResult::TimedOut:
                break;
            case platform::NamedEvent::WaitResult::Error:
                event.reset();
                break;
        }
    }
    return false;
}

struct CallWorkers::Worker {
    platform::WorkerThread thread;
    std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

CallWorkers::Hooks CallWorkers::defaultHooks() {
    Hooks h;
    h.options = [] { return settings::GetOptions(); };
    h.onCallRun = [] { return settings::GetOnCallRun(); };
    h.onCallParams = [] { return settings::GetOnCallParams(); };
    h.afterCallRun = [] { return settings::GetAfterCallRun(); };
    h.afterCallParams = [] { return settings::GetAfterCallParams(); };
    h.waitForEvent = waitForNamedEvent;
    h.spawn = [](const std::vector<std::string>& argv) { return platform::spawnProgram(argv); };
    h.print = [](const std::string& path) { return platform::printDocument(path); };
    h.errorBox = [](const std::string& text, const std::string& caption) {
        platform::notifyBox(text, caption, platform::BoxIcon::Error);
    };
    return h;
}

namespace {

// Fills the hooks a caller left empty with the defaults.
CallWorkers::Hooks completed(CallWorkers::Hooks h) {
    const CallWorkers::Hooks d = CallWorkers::defaultHooks();
    if (!h.options) h.options = d.options;
    if (!h.onCallRun) h.onCallRun = d.onCallRun;
    if (!h.onCallParams) h.onCallParams = d.onCallParams;
    if (!h.afterCallRun) h.afterCallRun = d.afterCallRun;
    if (!h.afterCallParams) h.afterCallParams = d.afterCallParams;
    if (!h.waitForEvent) h.waitForEvent = d.waitForEvent;
    if (!h.spawn) h.spawn = d.spawn;
    if (!h.print) h.print = d.print;
    if (!h.errorBox) h.errorBox = d.errorBox;
    return h;
}

}  // namespace

CallWorkers::CallWorkers(platform::WindowRef window, Hooks hooks)
    : window_(std::move(window)), hooks_(completed(std::move(hooks))) {}

CallWorkers::~CallWorkers() {
    stop();
}

void CallWorkers::reapFinishedLocked(std::vector<std::unique_ptr<Worker>>& out) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->second->finished->load()) {
            out.push_back(std::move(it->second));
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

WorkerHandle CallWorkers::start(std::function<void(platform::StopFlag&, WorkerHandle)> body,
                                bool lowestPriority) {
    std::vector<std::unique_ptr<Worker>> finished;  // joined after the lock is left
    WorkerHandle handle = 0;
    Worker* worker = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return 0;
        // Workers whose done message was lost (window gone) are collected here.
        reapFinishedLocked(finished);
        handle = nextHandle_++;
        auto w = std::make_unique<Worker>();
        auto flag = w->finished;
        w->thread = platform::WorkerThread(
            [body = std::move(body), handle, flag](platform::StopFlag& stop) {
                body(stop, handle);
                flag->store(true);
            },
            platform::WorkerOptions{.startSuspended = true, .lowestPriority = lowestPriority});
        worker = w.get();
        workers_.emplace(handle, std::move(w));
        worker->thread.resume();
    }
    for (auto& w : finished) w->thread.join();
    return handle;
}

void CallWorkers::threadDone(WorkerHandle handle) {
    std::unique_ptr<Worker> worker;
    {
        std::lock_guard lock(mutex_);
        auto it = workers_.find(handle);
        if (it == workers_.end()) return;
        worker = std::move(it->second);
        workers_.erase(it);
    }
    // The worker may still be leaving (or, for a fax, starting the after-call program,
    // which takes the lock): join outside it.
    worker->thread.join();
}

void CallWorkers::stop() {
    std::map<WorkerHandle, std::unique_ptr<Worker>> all;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        all.swap(workers_);
    }
    for (auto& [handle, w] : all) w->thread.requestStop();
    for (auto& [handle, w] : all) w->thread.join();
}

std::size_t CallWorkers::workerCount() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

WorkerHandle CallWorkers::launchProgram(std::uint32_t callId, ProgramCommand command,
                                        std::uint32_t waitMs) {
    if (command.argv().empty()) return 0;
    return start(
        [this, callId, command = std::move(command), waitMs](platform::StopFlag& stop,
                                                              WorkerHandle self) {
            runLauncher(stop, self, callId, command, waitMs);
        },
        false);
}

void CallWorkers::runLauncher(platform::StopFlag& stop, WorkerHandle self, std::uint32_t callId,
                              const ProgramCommand& command, std::uint32_t waitMs) {
    if (waitMs != 0 &&
        !hooks_.waitForEvent(waitEventName(callId), std::chrono::milliseconds(waitMs), stop))
        return;
    if (stop.requested()) return;
    const platform::SpawnResult started = hooks_.spawn(command.argv());
    if (!started.started()) hooks_.errorBox(started.error, "Error launching program");
    window_.post(platform::WM_THREAD_DONE, 0, static_cast<platform::LParam>(self));
}

WorkerHandle CallWorkers::runOnCallProgram(const TCallRecord& record, unsigned lineNumber) {
    const std::optional<std::string> program = hooks_.onCallRun();
    if (!program) return 0;
    return launchProgram(record.id,
                         makeProgramCommand(*program, hooks_.onCallParams(),
                                            placeholdersAtCall(record, lineNumber)),
                         0);
}

WorkerHandle CallWorkers::runAfterCallProgram(const TCallRecord* record) {
    if (!record) return 0;
    const std::optional<std::string> program = hooks_.afterCallRun();
    if (!program) return 0;
    return launchProgram(record->id,
                         makeProgramCommand(*program, hooks_.afterCallParams(),
                                            placeholdersAfterCall(*record)),
                         0);
}

WorkerHandle CallWorkers::startFaxThread(const TCallRecord& record) {
    return start([this, record](platform::StopFlag& stop,
                                WorkerHandle self) { runFax(stop, self, record); },
                 true);
}

void CallWorkers::runFax(platform::StopFlag& stop, WorkerHandle self, TCallRecord record) {
    if (!hooks_.waitForEvent(faxEventName(record.id), hooks_.faxWait, stop) || stop.requested())
        return;
    auto done = std::make_unique<FaxDone>();
    done->callId = record.id;
    done->handle = self;
    done->outcome =
        finishFax(std::string(record.filePath.view()), hooks_.options(), hooks_.print, hooks_.errorBox);
    record.setState(done->outcome.state);
    record.filePath.assign(done->outcome.filePath);
    window_.post(platform::WM_FAX_DONE, 0, static_cast<platform::LParam>(self), std::move(done));
    runAfterCallProgram(&record);
}

}  // namespace orvelin::client
