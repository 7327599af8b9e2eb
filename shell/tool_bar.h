// The frame's tool bar: its buttons, spacers and the line selector in their fixed order,
// each button with its picture and hint. Buttons only send their command; the frame
// decides who handles it.
#pragma once

#include <QToolBar>
#include <functional>
#include <map>

#include "platform/app_window.h"

class QAction;
class QComboBox;

namespace orvelin::shell {

inline constexpr platform::CommandId kLineSelectorId = 987;
// The two-state button: 213 while option bit ToolButtonDown is set, else 214.
inline constexpr platform::CommandId CM_TWO_STATE_SET = 213;
inline constexpr platform::CommandId CM_TWO_STATE_CLEAR = 214;

class FrameToolBar : public QToolBar {
  public:
    using Send = std::function<void(platform::CommandId)>;
    FrameToolBar(Send send, bool twoStateSet, QWidget* parent = nullptr);

    // The button of a command; null when the bar has none.
    QAction* button(platform::CommandId id) const;
    QComboBox* lineSelector() const { return lineSelector_; }

    // Shows button 213 (set) or 214 in the two-state place, right after the play button.
    void showTwoState(bool set);
    bool twoStateSet() const { return twoStateSet_; }

    // Greys out the buttons whose command is not available now.
    void updateEnabled(const std::function<bool(platform::CommandId)>& available);

    // The commands of the bar from left to right, for the hints and the order.
    std::vector<platform::CommandId> commandOrder() const;

  private:
    QAction* makeButton(platform::CommandId id, int bitmap, bool onOff, const char* hint);

    Send send_;
    std::map<platform::CommandId, QAction*> buttons_;
    QAction* twoState_ = nullptr;
    QComboBox* lineSelector_ = nullptr;
    bool twoStateSet_ = false;
};

}  // namespace orvelin::shell
