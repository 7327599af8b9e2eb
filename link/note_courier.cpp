#include "link/note_courier.h"

#include <QCoreApplication>
#include <QThread>
#include <utility>

namespace orvelin::link {

NoteCourier* NoteCourier::here() {
    // Only the application's thread ever reads or sets it.
    static QPointer<NoteCourier> courier;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->thread() != QThread::currentThread()) return nullptr;
    if (!courier) courier = new NoteCourier(app);
    return courier;
}

NoteCourier::NoteCourier(QObject* parent) : QObject(parent), timer_(this) {
    timer_.setSingleShot(true);
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { turn(); });
}

void NoteCourier::carry(platform::WindowRef to, platform::AppMessage message) {
    parcels_.push_back(Parcel{std::move(to), std::move(message)});
    if (!timer_.isActive()) timer_.start();
}

void NoteCourier::sendSoon(QObject* guard, std::function<void()> send) {
    sends_.push_back(DueSend{guard, std::move(send)});
    // Armed even inside a turn, so an owner that waits in a nested event loop for its
    // send to leave does not wait in vain.
    if (!timer_.isActive()) timer_.start();
}

// What was queued before this turn; notifications raised meanwhile wait for the next
// one, so the sockets' own events get their turn in between. A nested event loop in an
// owner's handler takes the next ones from the front, so the order holds.
void NoteCourier::turn() {
    for (std::size_t n = parcels_.size(); n > 0 && !parcels_.empty(); --n) {
        Parcel p = std::move(parcels_.front());
        parcels_.pop_front();
        p.to.send(p.message.id, p.message.wParam, p.message.lParam, std::move(p.message.record));
    }
    // A send only raises notifications and runs no owner code, so none is added here.
    std::vector<DueSend> due;
    due.swap(sends_);
    for (DueSend& d : due) {
        if (d.guard) d.send();
    }
    if (parcels_.empty() && sends_.empty()) {
        timer_.stop();
    } else if (!timer_.isActive()) {
        timer_.start();
    }
}

}  // namespace orvelin::link
