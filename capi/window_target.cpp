#include "capi/target.h"

namespace capi {
namespace {

class WindowRefTarget : public MessageTarget {
  public:
    explicit WindowRefTarget(platform::WindowRef window) : window_(std::move(window)) {}
    bool post(MessageId id, WParam wParam, LParam lParam, RecordPtr record) override {
        return window_.post(id, wParam, lParam, std::move(record));
    }
    std::optional<LResult> send(MessageId id, WParam wParam, LParam lParam,
                                RecordPtr record) override {
        return window_.send(id, wParam, lParam, std::move(record));
    }

  private:
    platform::WindowRef window_;
};

}  // namespace

std::shared_ptr<MessageTarget> WindowTarget(platform::WindowRef window) {
    return std::make_shared<WindowRefTarget>(std::move(window));
}

}  // namespace capi
