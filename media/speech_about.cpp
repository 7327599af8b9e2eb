// The about box lives apart from the rest of the speech code, so that code
// which never shows it does not pull in the message boxes.
#include <espeak-ng/speak_lib.h>

#include "media/speech.h"
#include "platform/message_box.h"

namespace orvelin::media {

HRESULT CTTSMode::AboutDlg(QWidget* owner, const std::string& title) {
    TTSModeInfo info;
    if (HRESULT rc = ModeGet(info); rc != S_OK) return rc;
    std::string text = info.modeName + " (" + info.modeId + ")";
    if (!info.language.empty()) text += "\nLanguage: " + info.language;
    text += "\neSpeak NG " + std::string(espeak_Info(nullptr));
    platform::messageBox(text, title, platform::BoxButtons::Ok, platform::BoxIcon::Information,
                         std::nullopt, owner);
    return S_OK;
}

}  // namespace orvelin::media
