#include "client/window/settings_reactions.h"

#include <cstring>

#include "client/call_record.h"
#include "settings/msn_table.h"
#include "settings/settings_store.h"

namespace orvelin::client {

std::string buildConfiguredNumberList(const std::function<std::string(int)>& number,
                                      const std::function<bool(int)>& discrete) {
    std::string list = ";";
    for (int i = 0; i < 10; ++i) {
        if (discrete(i)) continue;
        list += number(i);
        list += ';';
        list += std::to_string(i);
        list += ';';
    }
    return list;
}

std::string configuredNumberListFromSettings() {
    return buildConfiguredNumberList([](int i) { return settings::GetMSNNumber(i); },
                                     [](int i) { return settings::IsDiscreteMSN(i); });
}

long SettingsReactions::apply(std::uint32_t bits, const char* text) const {
    auto call = [](const std::function<void()>& f) {
        if (f) f();
    };
    if (bits & kChangedMsn) call(hooks_.reloadMsn);
    if ((bits & kChangedSpeech) && hooks_.speechWanted && hooks_.speechWanted())
        call(hooks_.rebuildSpeech);
    if (bits & kChangedList) call(hooks_.refreshList);
    if ((bits & kChangedService) && hooks_.serviceProcess)
        hooks_.serviceProcess(hooks_.serviceOption && hooks_.serviceOption());
    if (bits & kChangedNumberList) call(hooks_.rebuildNumberList);
    if (bits & kChangedTray) call(hooks_.updateTray);
    if ((bits & (kChangedSendText | kChangedSendTextAlt)) && text && *text && hooks_.sendText) {
        // The sender's text is not trusted to fit the recipient field.
        const std::size_t n = utf8PrefixLength(std::string_view(text, strnlen(text, 4096)),
                                               kRecipientBytes);
        hooks_.sendText(std::string(text, n));
    }
    return 0;
}

}  // namespace orvelin::client
