// Windows that receive application messages on the Qt event loop.
//
// A window lives on the thread that built it (its window thread). Any thread may post to
// it or send to it:
//   - post() queues the message and returns at once. Messages posted from one thread to
//     one window arrive in the order they were posted.
//   - send() on the window thread calls the handler directly. From any other thread it
//     blocks until the window thread has run the handler and returns the handler's
//     result. The window thread runs sent messages whenever it processes events (also
//     inside a modal dialog or any nested event loop) and while it waits in
//     waitForThread(), serveSendsDuring() or waitUntil(), so a worker blocked in send()
//     never deadlocks a window thread that is waiting for that worker. A window thread
//     that blocks any other way (a plain join) serves nothing meanwhile. A sender that has windows of its own
//     serves the sends made to them while it waits.
//   - send() returns nullopt, without blocking for ever, when the window is gone or, from
//     another thread, when the window thread's event loop has ended (QCoreApplication's
//     exec() for the main thread, QThread's for others). It returns only once the
//     handler has returned or it is certain that the handler will never run, so lParam
//     may point at the sender's own data; a record the handler leaves in the message
//     is freed after the handler, so a sender that needs a reply reads it from the
//     result or from its own data.
// A record passed with a message belongs to the message: the handler takes it with
// AppMessage::take(); a record no handler took, or whose message is dropped (window
// destroyed, loop ended), is freed with the message.
//
// Each window class routes messages through one static table of Response entries, by
// message number (onMessage) and by command id (onCommand, for WM_COMMAND); anything the
// table does not name goes to defaultMessage()/defaultCommand().
//
// Window timers are keyed by id: setTimer() arms or re-arms, killTimer() stops, and a
// timer fires every period until killed, delivered as WM_TIMER with wParam = id. They
// run on the window's Clock (see clock.h), which tests replace with a ManualClock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "platform/app_messages.h"
#include "platform/clock.h"

namespace platform {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using CommandId = std::uint32_t;
using TimerId = std::uint32_t;

// Base of every record carried by a message. Records are plain structs deriving from it.
class MessageRecord {
  public:
    virtual ~MessageRecord() = default;
};
using RecordPtr = std::unique_ptr<MessageRecord>;

struct AppMessage {
    MessageId id = 0;
    WParam wParam = 0;
    LParam lParam = 0;
    RecordPtr record;

    // The record as R, or nullptr when there is none or it is of another type.
    template <class R>
    R* peek() const {
        return dynamic_cast<R*>(record.get());
    }
    // Takes the record as R. When it is of another type the message keeps it (and frees
    // it with itself) and nullptr comes back.
    template <class R>
    std::unique_ptr<R> take() {
        R* r = dynamic_cast<R*>(record.get());
        if (!r) return nullptr;
        record.release();
        return std::unique_ptr<R>(r);
    }
};

namespace detail {
struct WindowLink;
class WindowPort;
class SendQueue;
}  // namespace detail

// A reference to a window that any thread may hold and use, also after the window is
// gone (then post() and send() fail and free the record).
class WindowRef {
  public:
    WindowRef() = default;

    // False (record freed) when the window is gone or its loop has ended.
    bool post(MessageId id, WParam wParam = 0, LParam lParam = 0, RecordPtr record = nullptr) const;
    // The handler's result, or nullopt when the message was not handled (see above).
    std::optional<LResult> send(MessageId id, WParam wParam = 0, LParam lParam = 0,
                                RecordPtr record = nullptr) const;
    // Posts WM_COMMAND with the id.
    bool postCommand(CommandId id) const { return post(WM_COMMAND, id); }

    // True while the window exists and accepts messages. Only a hint across threads.
    bool alive() const;
    // Whether the window was built on the calling thread (false for an empty reference).
    bool onCallingThread() const;
    explicit operator bool() const { return link_ != nullptr; }

  private:
    friend class AppWindow;
    explicit WindowRef(std::shared_ptr<detail::WindowLink> link) : link_(std::move(link)) {}
    std::shared_ptr<detail::WindowLink> link_;
};

// One entry of a window class's response table.
template <class W>
struct Response {
    enum class Kind : std::uint8_t { Message, Command };
    Kind kind;
    std::uint32_t id;
    LResult (W::*message)(AppMessage&);
    void (W::*command)();
};

template <class W>
constexpr Response<W> onMessage(MessageId id, LResult (W::*handler)(AppMessage&)) {
    return {Response<W>::Kind::Message, id, handler, nullptr};
}
template <class W>
constexpr Response<W> onCommand(CommandId id, void (W::*handler)()) {
    return {Response<W>::Kind::Command, id, nullptr, handler};
}

// Base of every window. It can stand alone or be mixed into a widget class
// (class ClientWindow : public QWidget, public platform::AppWindow); it is not a QObject
// itself, its messages arrive through a private QObject on the window thread.
//
// A derived class declares its table and routes through it:
//   class Banner : public platform::AppWindow {
//       LResult evClose(AppMessage&);
//       void cmHide();
//       static constexpr platform::Response<Banner> kResponses[] = {
//           platform::onMessage(WM_CLOSE_POPUP, &Banner::evClose),
//           platform::onCommand(24310, &Banner::cmHide),
//       };
//       LResult dispatch(AppMessage& m) override { return respond(kResponses, m); }
//   };
// A window is destroyed on its own thread (or after that thread has ended). A derived
// destructor that may still process events must call closeWindow() first.
class AppWindow {
  public:
    // Builds the window on the calling thread, which becomes its window thread. clock:
    // the timers' clock, defaultClock() when null; it must outlive the window.
    explicit AppWindow(Clock* clock = nullptr);
    virtual ~AppWindow();
    AppWindow(const AppWindow&) = delete;
    AppWindow& operator=(const AppWindow&) = delete;

    WindowRef ref() const;

    // Same as ref().post()/send(). Only safe from another thread while the caller knows
    // the window exists; otherwise hold a WindowRef.
    bool post(MessageId id, WParam wParam = 0, LParam lParam = 0, RecordPtr record = nullptr) const;
    std::optional<LResult> send(MessageId id, WParam wParam = 0, LParam lParam = 0,
                                RecordPtr record = nullptr);

    // Runs a command now (window thread only), as a WM_COMMAND would.
    void command(CommandId id);

    // Window thread only. A period below 1 ms counts as 1 ms.
    void setTimer(TimerId id, std::int64_t periodMs);
    void killTimer(TimerId id);
    bool timerArmed(TimerId id) const;

    // Stops taking messages: later posts and sends fail, queued ones are dropped and
    // their records freed, timers stop. The destructor does it; idempotent.
    void closeWindow();

    bool onWindowThread() const { return std::this_thread::get_id() == threadId_; }

  protected:
    // Routes one message. Window thread only.
    virtual LResult dispatch(AppMessage& message) { return defaultMessage(message); }
    // Messages the table does not name. WM_COMMAND is passed to defaultCommand().
    virtual LResult defaultMessage(AppMessage& message);
    virtual void defaultCommand(CommandId) {}

    template <class W, std::size_t N>
    LResult respond(const Response<W> (&table)[N], AppMessage& message);

  private:
    friend struct detail::WindowLink;
    friend class detail::WindowPort;
    friend class detail::SendQueue;
    friend class WindowRef;

    struct TimerSlot {
        std::unique_ptr<ClockTimer> timer;
        bool armed = false;
    };

    void deliver(AppMessage& message);
    void fireTimer(TimerId id);

    Clock& clock_;
    std::thread::id threadId_;
    std::shared_ptr<detail::WindowLink> link_;
    detail::WindowPort* port_ = nullptr;
    std::map<TimerId, TimerSlot> timers_;
};

// Window-thread waits that keep running the messages other threads send to this
// thread's windows (nothing else: posted messages and timers wait), so a worker that is
// blocked in send() can finish.

// Joins t. Returns at once when t is not joinable.
void waitForThread(std::thread& t);
// Runs a blocking call (the join of a WorkerThread, say) on a helper thread and returns
// when it has returned, serving sends meanwhile. An exception it throws is rethrown here.
void serveSendsDuring(const std::function<void()>& blocking);
// Waits until done() is true or timeout has passed; returns done(). done() is checked
// after every serviced send and at least every 10 ms.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Runs the sends that are queued for this thread's windows now; returns how many.
int serviceSentMessages();
// How many sends to this thread's windows are queued and not yet running.
int pendingSentMessages();

template <class W, std::size_t N>
LResult AppWindow::respond(const Response<W> (&table)[N], AppMessage& message) {
    W& self = static_cast<W&>(*this);
    if (message.id == WM_COMMAND) {
        const auto id = static_cast<CommandId>(message.wParam);
        for (const Response<W>& r : table) {
            if (r.kind == Response<W>::Kind::Command && r.id == id) {
                (self.*r.command)();
                return 0;
            }
        }
    }
    for (const Response<W>& r : table) {
        if (r.kind == Response<W>::Kind::Message && r.id == message.id)
            return (self.*r.message)(message);
    }
    return defaultMessage(message);
}

}  // namespace platform
