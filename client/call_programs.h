// Programs run at and after a call, and the short-lived worker threads that start
// them and finish received faxes.
//
// A configured parameter text is split into words first and the placeholders are
// replaced inside each word afterwards, so a caller's number, name or comment is
// always part of exactly one argument and is never seen by a shell. Each placeholder
// is replaced at its first occurrence only, in one pass: text a caller put into a
// value is never expanded again.
//
// Every worker belongs to a CallWorkers object on the window thread. Workers reach
// the window only by posting (WM_THREAD_DONE with the worker's handle, WM_FAX_DONE
// with a FaxDone record), never by sending, so the window thread may join them at
// any time; each wait is bounded and ends early on stop().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/call_record.h"
#include "client/fax_post.h"
#include "platform/app_window.h"
#include "platform/spawn.h"
#include "platform/worker_thread.h"

namespace orvelin::client {

// The tokens in the order they are tried.
inline constexpr std::string_view kPlaceholderCaller = "!c";
inline constexpr std::string_view kPlaceholderName = "!n";
inline constexpr std::string_view kPlaceholderCalled = "!m";
inline constexpr std::string_view kPlaceholderComment = "!x";
inline constexpr std::string_view kPlaceholderTime = "!t";
inline constexpr std::string_view kPlaceholderDate = "!d";
inline constexpr std::string_view kPlaceholderReason = "!r";
inline constexpr std::string_view kPlaceholderLine = "!l";
inline constexpr std::string_view kPlaceholderCip = "!i";
inline constexpr std::string_view kPlaceholderFile = "!f";
inline constexpr std::string_view kPlaceholderState = "!y";
inline constexpr std::string_view kPlaceholderCount = "!p";

// Values for the program at call. lineNumber: MSN index + 1, 1 without MSN. Time
// "HH:MM:SS" and date "YYYY-MM-DD", as the call list shows them.
std::vector<platform::Placeholder> placeholdersAtCall(const TCallRecord& record,
                                                      unsigned lineNumber);
// Values for the program after a call: "!l" is the record's MSN index (65535 without).
std::vector<platform::Placeholder> placeholdersAfterCall(const TCallRecord& record);

// A program to start: the program path (kept whole, never split) and the argument
// words. Without a program path the first word names the program.
struct ProgramCommand {
    std::string program;
    std::vector<std::string> words;

    // The argument vector to start; empty when there is nothing to start.
    std::vector<std::string> argv() const;
};

// Splits `parameters` into words and replaces the placeholders inside them. Without a
// program path the first word is the program and is never expanded, so a caller's
// text can choose arguments but never which program runs.
ProgramCommand makeProgramCommand(std::string_view program, std::string_view parameters,
                                  const std::vector<platform::Placeholder>& placeholders = {});

// "OrvelinWait%d" / "OrvelinFax%d": the call id as a signed 32-bit number, as other
// programs that know the id print it.
std::string waitEventName(std::uint32_t callId);
std::string faxEventName(std::uint32_t callId);
inline constexpr std::chrono::milliseconds kFaxEventWait{3000};

// Waits until the named event is signalled, `timeout` has passed or stop is requested.
// False only when stop was requested. The default creates the event afresh (as an
// auto-reset event, unsignalled) and waits in short slices so a stop is seen soon;
// when the event cannot be created it still waits out the time.
using EventWait = std::function<bool(const std::string& name, std::chrono::milliseconds timeout,
                                     const platform::StopFlag& stop)>;
bool waitForNamedEvent(const std::string& name, std::chrono::milliseconds timeout,
                       const platform::StopFlag& stop);

using WorkerHandle = std::uint64_t;  // 0: no worker

class CallWorkers {
  public:
    // Everything the workers reach outside this object, replaceable by tests.
    struct Hooks {
        std::function<std::uint32_t()> options;  // "Options"
        std::function<std::optional<std::string>()> onCallRun, afterCallRun;
        std::function<std::string()> onCallParams, afterCallParams;
        EventWait waitForEvent;
        std::function<platform::SpawnResult(const std::vector<std::string>&)> spawn;
        std::function<platform::SpawnResult(const std::string&)> print;
        std::function<void(const std::string& text, const std::string& caption)> errorBox;
        std::chrono::milliseconds faxWait = kFaxEventWait;
    };
    // Hooks left empty use the settings store, named events, posix_spawn, the printer
    // and non-blocking boxes.
    static Hooks defaultHooks();

    explicit CallWorkers(platform::WindowRef window, Hooks hooks = defaultHooks());
    // stop().
    ~CallWorkers();
    CallWorkers(const CallWorkers&) = delete;
    CallWorkers& operator=(const CallWorkers&) = delete;

    // Starts `command` after `waitMs` (0: at once, without an event) unless
    // "OrvelinWait<id>" is signalled first. Posts WM_THREAD_DONE with the handle when
    // done. 0 when there is nothing to start or the workers are stopped.
    WorkerHandle launchProgram(std::uint32_t callId, ProgramCommand command, std::uint32_t waitMs);
    // "OnCallRun" with "OnCallParams" expanded for the call; 0 when it cannot be read.
    WorkerHandle runOnCallProgram(const TCallRecord& record, unsigned lineNumber);
    // "AfterCallRun" with "AfterCallParams" expanded; 0 for no record or when the
    // program cannot be read. Any thread.
    WorkerHandle runAfterCallProgram(const TCallRecord* record);

    // Finishes the fax of `record` (a copy is taken): waits for "OrvelinFax<id>" or the
    // fax wait, converts the SFF to TIFF, posts WM_FAX_DONE with the outcome, then runs
    // the after-call program with the record as the outcome left it. On stop the fax
    // is left as it is (the SFF stays, the record keeps its state) and nothing runs.
    WorkerHandle startFaxThread(const TCallRecord& record);

    // Joins a worker that reported done and forgets it; an unknown handle is ignored.
    void threadDone(WorkerHandle handle);
    // Asks every worker to stop, joins them all and refuses new ones. Idempotent.
    void stop();
    // Workers started and not yet joined.
    std::size_t workerCount() const;

  private:
    struct Worker;
    WorkerHandle start(std::function<void(platform::StopFlag&, WorkerHandle)> body,
                       bool lowestPriority);
    void reapFinishedLocked(std::vector<std::unique_ptr<Worker>>& out);
    void runLauncher(platform::StopFlag& stop, WorkerHandle self, std::uint32_t callId,
                     const ProgramCommand& command, std::uint32_t waitMs);
    void runFax(platform::StopFlag& stop, WorkerHandle self, TCallRecord record);

    const platform::WindowRef window_;
    const Hooks hooks_;
    mutable std::mutex mutex_;
    std::map<WorkerHandle, std::unique_ptr<Worker>> workers_;
    WorkerHandle nextHandle_ = 1;
    bool stopped_ = false;
};

}  // namespace orvelin::client
