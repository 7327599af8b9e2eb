#include "platform/app_window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <algorithm>
#include <cassert>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

namespace platform {
namespace detail {

namespace {

QEvent::Type messageEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QEvent::Type wakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// A posted message. Dropping the event (window destroyed, application gone) frees the
// record with it.
class MessageEvent : public QEvent {
  public:
    explicit MessageEvent(AppMessage m) : QEvent(messageEventType()), message(std::move(m)) {}
    AppMessage message;
};

}  // namespace

struct SendRequest {
    enum class State { Queued, Running, Done, Failed };
    std::shared_ptr<WindowLink> target;
    AppMessage message;
    LResult result = 0;
    State state = State::Queued;
};

// The messages other threads have sent to the windows of one thread and are waiting on.
// Senders block on `finished`; the window thread waits on `arrived` when it waits for
// a worker.
class SendQueue {
  public:
    // Window thread: runs every queued send. Returns how many ran.
    int service();
    // Fails every queued send and refuses new ones: the thread's loop is over.
    void close();
    // Fails the queued sends addressed to one window (it is being destroyed).
    void dropFor(const WindowLink* link);

    std::mutex mutex;
    std::condition_variable arrived;
    std::condition_variable finished;
    std::deque<std::shared_ptr<SendRequest>> queue;
    bool closed = false;
};

// Shared between a window and every WindowRef to it. `mutex` guards window and port;
// it is taken before SendQueue::mutex, never after.
struct WindowLink {
    std::mutex mutex;
    AppWindow* window = nullptr;
    WindowPort* port = nullptr;
    std::shared_ptr<SendQueue> queue;
    std::thread::id thread;

    bool post(AppMessage message);
    std::optional<LResult> send(AppMessage message);
};

// The QObject through which a window receives its posted messages and timer ticks.
class WindowPort : public QObject {
  public:
    explicit WindowPort(AppWindow* owner) : owner_(owner) {}

    bool event(QEvent* e) override {
        const QEvent::Type type = e->type();
        if (type != messageEventType() && type != wakeEventType()) return QObject::event(e);
        ++depth_;
        if (type == wakeEventType()) {
            if (queue_) queue_->service();
        } else if (owner_) {
            owner_->deliver(static_cast<MessageEvent*>(e)->message);
        }
        --depth_;
        return true;
    }

    // Called by the owner's closeWindow(): no more deliveries; pending events and their
    // records are freed now.
    void detach() {
        owner_ = nullptr;
        QCoreApplication::removePostedEvents(this);
        if (depth_ > 0)
            deleteLater();  // still inside our own event(): let it return first
        else
            delete this;
    }

    std::shared_ptr<SendQueue> queue_;

  private:
    AppWindow* owner_;
    int depth_ = 0;
};

namespace {

void hookLoopEnd(const std::shared_ptr<SendQueue>& queue) {
    std::weak_ptr<SendQueue> weak = queue;
    auto closeQueue = [weak] {
        if (auto q = weak.lock()) q->close();
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, closeQueue);
        return;
    }
    // finished is emitted on the ending thread itself; adopted threads never emit it and
    // are covered by the thread-local holder below.
    QObject::connect(QThread::currentThread(), &QThread::finished, closeQueue);
}

struct ThreadQueue {
    std::shared_ptr<SendQueue> queue;
    ~ThreadQueue() {
        if (queue) queue->close();
    }
};

thread_local ThreadQueue t_queue;

// The queue of the calling thread; a fresh one once the old one was closed, so windows
// built after a loop ended work again.
std::shared_ptr<SendQueue> currentQueue() {
    bool fresh = !t_queue.queue;
    if (!fresh) {
        std::lock_guard lock(t_queue.queue->mutex);
        fresh = t_queue.queue->closed;
    }
    if (fresh) {
        t_queue.queue = std::make_shared<SendQueue>();
        hookLoopEnd(t_queue.queue);
    }
    return t_queue.queue;
}

void finish(SendQueue& q, const std::shared_ptr<SendRequest>& request, SendRequest::State state) {
    std::lock_guard lock(q.mutex);
    request->state = state;
    q.finished.notify_all();
}

}  // namespace

int SendQueue::service() {
    int count = 0;
    for (;;) {
        std::shared_ptr<SendRequest> request;
        {
            std::lock_guard lock(mutex);
            if (queue.empty()) return count;
            request = std::move(queue.front());
            queue.pop_front();
            request->state = SendRequest::State::Running;
        }
        AppWindow* window;
        {
            std::lock_guard lock(request->target->mutex);
            window = request->target->window;
        }
        // Only this thread destroys the window, so it stays valid while it handles.
        if (!window) {
            finish(*this, request, SendRequest::State::Failed);
            continue;
        }
        try {
            request->result = window->dispatch(request->message);
        } catch (...) {
            finish(*this, request, SendRequest::State::Failed);
            throw;
        }
        finish(*this, request, SendRequest::State::Done);
        ++count;
    }
}

void SendQueue::close() {
    std::deque<std::shared_ptr<SendRequest>> dropped;
    {
        std::lock_guard lock(mutex);
        closed = true;
        dropped.swap(queue);
        for (auto& r : dropped) r->state = SendRequest::State::Failed;
        finished.notify_all();
    }
    // Records of dropped sends are freed here, outside the lock; their senders hold the
    // requests too and free whatever is left.
    for (auto& r : dropped) r->message.record.reset();
}

void SendQueue::dropFor(const WindowLink* link) {
    std::vector<std::shared_ptr<SendRequest>> dropped;
    {
        std::lock_guard lock(mutex);
        for (auto it = queue.begin(); it != queue.end();) {
            if ((*it)->target.get() != link) {
                ++it;
                continue;
            }
            (*it)->state = SendRequest::State::Failed;
            dropped.push_back(std::move(*it));
            it = queue.erase(it);
        }
        finished.notify_all();
    }
    for (auto& r : dropped) r->message.record.reset();
}

bool WindowLink::post(AppMessage message) {
    std::lock_guard lock(mutex);
    if (!window || !port) return false;
    {
        std::lock_guard qlock(queue->mutex);
        if (queue->closed) return false;
    }
    QCoreApplication::postEvent(port, new MessageEvent(std::move(message)));
    return true;
}

std::optional<LResult> WindowLink::send(AppMessage message) {
    if (std::this_thread::get_id() == thread) {
        AppWindow* w;
        {
            std::lock_guard lock(mutex);
            w = window;
        }
        if (!w) return std::nullopt;
        return w->dispatch(message);
    }
    auto request = std::make_shared<SendRequest>();
    request->message = std::move(message);
    {
        std::lock_guard lock(mutex);
        if (!window || !port) return std::nullopt;
        request->target = window->link_;
        {
            std::lock_guard qlock(queue->mutex);
            if (queue->closed) return std::nullopt;
            queue->queue.push_back(request);
            queue->arrived.notify_all();
        }
        // Wakes the event loop, also a nested one (modal dialog). Under `mutex`, so the
        // port cannot go away meanwhile.
        QCoreApplication::postEvent(port, new QEvent(wakeEventType()));
    }
    const auto over = [&] {
        return request->state == SendRequest::State::Done ||
               request->state == SendRequest::State::Failed;
    };
    // A sender that has windows of its own keeps serving the sends made to them, so two
    // window threads that send to each other do not deadlock.
    const std::shared_ptr<SendQueue> own = t_queue.queue;
    std::unique_lock qlock(queue->mutex);
    if (!own || own == queue) {
        queue->finished.wait(qlock, over);
    } else {
        while (!queue->finished.wait_for(qlock, std::chrono::milliseconds(5), over)) {
            qlock.unlock();
            own->service();
            qlock.lock();
        }
    }
    if (request->state == SendRequest::State::Failed) return std::nullopt;
    return request->result;
}

}  // namespace detail

// ---- WindowRef

bool WindowRef::post(MessageId id, WParam wParam, LParam lParam, RecordPtr record) const {
    if (!link_) return false;
    return link_->post(AppMessage{id, wParam, lParam, std::move(record)});
}

std::optional<LResult> WindowRef::send(MessageId id, WParam wParam, LParam lParam,
                                       RecordPtr record) const {
    if (!link_) return std::nullopt;
    return link_->send(AppMessage{id, wParam, lParam, std::move(record)});
}

bool WindowRef::alive() const {
    if (!link_) return false;
    std::lock_guard lock(link_->mutex);
    if (!link_->window) return false;
    std::lock_guard qlock(link_->queue->mutex);
    return !link_->queue->closed;
}

bool WindowRef::onCallingThread() const {
    return link_ && link_->thread == std::this_thread::get_id();
}

// ---- AppWindow

AppWindow::AppWindow(Clock* clock)
    : clock_(clock ? *clock : defaultClock()),
      threadId_(std::this_thread::get_id()),
      link_(std::make_shared<detail::WindowLink>()) {
    port_ = new detail::WindowPort(this);
    port_->queue_ = detail::currentQueue();
    link_->window = this;
    link_->port = port_;
    link_->queue = port_->queue_;
    link_->thread = threadId_;
}

AppWindow::~AppWindow() {
    closeWindow();
    timers_.clear();
}

WindowRef AppWindow::ref() const {
    return WindowRef(link_);
}

bool AppWindow::post(MessageId id, WParam wParam, LParam lParam, RecordPtr record) const {
    return link_->post(AppMessage{id, wParam, lParam, std::move(record)});
}

std::optional<LResult> AppWindow::send(MessageId id, WParam wParam, LParam lParam,
                                       RecordPtr record) {
    return link_->send(AppMessage{id, wParam, lParam, std::move(record)});
}

void AppWindow::command(CommandId id) {
    AppMessage m{WM_COMMAND, id, 0, nullptr};
    deliver(m);
}

LResult AppWindow::defaultMessage(AppMessage& message) {
    if (message.id == WM_COMMAND) defaultCommand(static_cast<CommandId>(message.wParam));
    return 0;
}

void AppWindow::deliver(AppMessage& message) {
    dispatch(message);
}

void AppWindow::setTimer(TimerId id, std::int64_t periodMs) {
    assert(onWindowThread());
    if (!port_) return;
    TimerSlot& slot = timers_[id];
    if (!slot.timer) slot.timer = clock_.createTimer(port_, [this, id] { fireTimer(id); });
    slot.armed = true;
    slot.timer->start(std::max<std::int64_t>(periodMs, 1));
}

void AppWindow::killTimer(TimerId id) {
    assert(onWindowThread());
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second.armed = false;
    it->second.timer->stop();
}

bool AppWindow::timerArmed(TimerId id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second.armed;
}

void AppWindow::fireTimer(TimerId id) {
    auto it = timers_.find(id);
    // A tick that was already on its way when the timer was killed is dropped.
    if (it == timers_.end() || !it->second.armed || !port_) return;
    AppMessage m{WM_TIMER, id, 0, nullptr};
    deliver(m);
}

void AppWindow::closeWindow() {
    if (!port_) return;
    {
        std::lock_guard lock(link_->mutex);
        link_->window = nullptr;
        link_->port = nullptr;
    }
    // No sender can queue for this window any more; fail the ones already queued.
    link_->queue->dropFor(link_.get());
    for (auto& [id, slot] : timers_) {
        slot.armed = false;
        slot.timer->stop();
    }
    // The stopped timers stay until the window dies: one of them may be firing right now.
    detail::WindowPort* port = port_;
    port_ = nullptr;
    port->detach();
}

// ---- waits

int serviceSentMessages() {
    if (!detail::t_queue.queue) return 0;
    return detail::t_queue.queue->service();
}

int pendingSentMessages() {
    if (!detail::t_queue.queue) return 0;
    std::lock_guard lock(detail::t_queue.queue->mutex);
    return static_cast<int>(detail::t_queue.queue->queue.size());
}

void waitForThread(std::thread& t) {
    if (!t.joinable()) return;
    serveSendsDuring([&t] { t.join(); });
}

void serveSendsDuring(const std::function<void()>& blocking) {
    std::shared_ptr<detail::SendQueue> q = detail::t_queue.queue;
    if (!q) {
        blocking();  // no window lives here, so nobody can be blocked sending to us
        return;
    }
    // The call runs on a helper thread, so this one can keep serving sends until it has
    // returned. The flag is per call: a send handled here may wait for something else
    // in turn.
    auto over = std::make_shared<bool>(false);  // guarded by q->mutex
    std::exception_ptr error;
    std::thread helper([&blocking, &error, q, over] {
        try {
            blocking();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(q->mutex);
        *over = true;
        q->arrived.notify_all();
    });
    for (;;) {
        q->service();
        std::unique_lock lock(q->mutex);
        q->arrived.wait(lock, [&] { return *over || !q->queue.empty(); });
        if (*over && q->queue.empty()) break;
    }
    helper.join();
    if (error) std::rethrow_exception(error);
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + timeout;
    std::shared_ptr<detail::SendQueue> q = detail::t_queue.queue;
    for (;;) {
        if (q) q->service();
        if (done()) return true;
        const auto now = steady_clock::now();
        if (now >= deadline) return done();
        const auto slice = std::min<steady_clock::duration>(deadline - now, milliseconds(10));
        if (!q) {
            std::this_thread::sleep_for(slice);
            continue;
        }
        std::unique_lock lock(q->mutex);
        q->arrived.wait_for(lock, slice, [&] { return !q->queue.empty(); });
    }
}

}  // namespace platform
