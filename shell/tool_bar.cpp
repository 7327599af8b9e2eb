#include "shell/tool_bar.h"

#include <QAction>
#include <QComboBox>
#include <QWidget>

#include "client/window/client_window.h"
#include "shell/frame_pictures.h"
#include "shell/line_lock.h"

namespace orvelin::shell {

namespace {

enum class Kind { Button, OnOff, Spacer, LineSelector, TwoState };

struct Gadget {
    Kind kind;
    platform::CommandId id;  // spacers: their width
    int bitmap;              // 0: the command's own number
};

constexpr Gadget kGadgets[] = {
    {Kind::Button, client::CM_OPEN_LOG, 0},
    {Kind::Spacer, 6, 0},
    {Kind::Button, client::CM_CONFIGURE_MSN, 0},
    {Kind::Button, client::CM_CALLER_LIST, 0},
    {Kind::Spacer, 12, 0},
    {Kind::OnOff, client::CM_CAPI_ON_OFF, 0},
    {Kind::Spacer, 12, 0},
    {Kind::Button, client::CM_ANSWER, 0},
    {Kind::Button, client::CM_REJECT, 0},
    {Kind::Spacer, 12, 0},
    {Kind::Button, client::CM_RECORD, kRecordBitmap},
    {Kind::OnOff, client::CM_PLAY, 0},
    {Kind::TwoState, 0, 0},
    {Kind::Spacer, 12, 0},
    {Kind::Button, client::CM_SEND, 0},
    {Kind::Spacer, 12, 0},
    {Kind::LineSelector, kLineSelectorId, 0},
    {Kind::Spacer, 12, 0},
    {Kind::Button, client::CM_HIDE, 0},
};

constexpr int kSelectorWidth = 85;
constexpr int kSelectorRows = 14;

}  // namespace

FrameToolBar::FrameToolBar(Send send, bool twoStateSet, QWidget* parent)
    : QToolBar(parent), send_(std::move(send)), twoStateSet_(twoStateSet) {
    setObjectName("Control bar");
    setMovable(false);
    setFloatable(false);
    setIconSize(QSize(24, 24));
    QFont gadgetFont = font();
    gadgetFont.setPointSize(10);
    setFont(gadgetFont);
    for (const Gadget& g : kGadgets) {
        switch (g.kind) {
            case Kind::Button:
            case Kind::OnOff:
                makeButton(g.id, g.bitmap ? g.bitmap : int(g.id), g.kind == Kind::OnOff,
                           client::commandHint(g.id));
                break;
            case Kind::TwoState:
                twoState_ = makeButton(0, 0, false, nullptr);
                showTwoState(twoStateSet_);
                break;
            case Kind::Spacer: {
                auto* spacer = new QWidget(this);
                spacer->setFixedWidth(int(g.id));
                addWidget(spacer);
                break;
            }
            case Kind::LineSelector: {
                lineSelector_ = new QComboBox(this);
                lineSelector_->setObjectName("Line selector");
                lineSelector_->setFixedWidth(kSelectorWidth);
                lineSelector_->setMaxVisibleItems(kSelectorRows);
                for (const char* name : kLineChoiceNames) lineSelector_->addItem(name);
                addWidget(lineSelector_);
                break;
            }
        }
    }
}

QAction* FrameToolBar::makeButton(platform::CommandId id, int bitmap, bool onOff, const char* hint) {
    QAction* action = addAction(bitmap ? toolIcon(bitmap) : QIcon(), QString());
    if (hint) {
        action->setToolTip(QString::fromUtf8(hint));
        action->setStatusTip(QString::fromUtf8(hint));
    }
    // An on/off button shows its state; the command alone changes it.
    action->setCheckable(onOff);
    QObject::connect(action, &QAction::triggered, this, [this, action, onOff] {
        if (onOff) action->setChecked(!action->isChecked());
        send_(platform::CommandId(action->data().toUInt()));
    });
    action->setData(id);
    if (id != 0) buttons_[id] = action;
    return action;
}

void FrameToolBar::showTwoState(bool set) {
    twoStateSet_ = set;
    const platform::CommandId id = set ? CM_TWO_STATE_SET : CM_TWO_STATE_CLEAR;
    buttons_.erase(set ? CM_TWO_STATE_CLEAR : CM_TWO_STATE_SET);
    buttons_[id] = twoState_;
    twoState_->setData(id);
    twoState_->setIcon(toolIcon(int(id)));
}

QAction* FrameToolBar::button(platform::CommandId id) const {
    const auto it = buttons_.find(id);
    return it == buttons_.end() ? nullptr : it->second;
}

void FrameToolBar::updateEnabled(const std::function<bool(platform::CommandId)>& available) {
    for (const auto& [id, action] : buttons_) action->setEnabled(available(id));
}

std::vector<platform::CommandId> FrameToolBar::commandOrder() const {
    std::vector<platform::CommandId> order;
    for (QAction* action : actions()) {
        if (QWidget* w = widgetForAction(action); w == lineSelector_ && w) {
            order.push_back(kLineSelectorId);
            continue;
        }
        if (const platform::CommandId id = action->data().toUInt(); id != 0) order.push_back(id);
    }
    return order;
}

}  // namespace orvelin::shell
