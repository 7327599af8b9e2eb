// Hands the notifications of the application thread's sockets to their owners, in the
// order they were raised, and runs the sockets' deferred sends, all from one zero timer.
// Arming a timer costs the event loop no wake-up, where every posted message costs one
// (a write to the loop's wake-up descriptor), and a busy link server raises three
// notifications per record. Owner code still never runs inside a socket's own callbacks.
//
// The courier is a child of the application object; what it still holds when that goes
// is freed with it, as posted messages would be. Sockets on other threads post instead.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

#include "platform/app_window.h"

namespace orvelin::link {

class NoteCourier : public QObject {
  public:
    // The courier of the calling thread; nullptr off the application's thread or
    // without an application object.
    static NoteCourier* here();

    // Delivers the message to `to` with a send from a later turn of the event loop.
    void carry(platform::WindowRef to, platform::AppMessage message);

    // Runs `send` on the next turn, or at the end of the turn under way, so the answers
    // owners give to the notifications just handed out leave in the same turn. Skipped
    // once `guard` is gone.
    void sendSoon(QObject* guard, std::function<void()> send);

  private:
    struct Parcel {
        platform::WindowRef to;
        platform::AppMessage message;
    };
    struct DueSend {
        QPointer<QObject> guard;
        std::function<void()> send;
    };

    explicit NoteCourier(QObject* parent);
    void turn();

    std::deque<Parcel> parcels_;
    std::vector<DueSend> sends_;
    QTimer timer_;
};

}  // namespace orvelin::link
