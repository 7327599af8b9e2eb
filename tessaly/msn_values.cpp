#include "tessaly/msn_values.h"

#include <algorithm>

#include "platform/registry.h"
#include "settings/settings_store.h"

namespace tessaly {
namespace {

constexpr const char* kMaskNames[4] = {"Popup Settings", "Log Settings", "Answer Settings",
                                       "Fax Setting"};
constexpr const char* kTextKeys[4] = {"Numbers", "Names", "Max recording time",
                                      "Recording delay"};

// One or two bytes, low byte first; anything else counts as no mask.
std::uint16_t readMask(const platform::RegNode* key, const char* name) {
    const platform::RegValue* v = key ? key->value(name) : nullptr;
    if (!v || v->data.empty() || v->data.size() > 2) return 0;
    return std::uint16_t(v->data[0] | (v->data.size() > 1 ? v->data[1] << 8 : 0));
}

std::string readText(const platform::RegNode* key, const char* sub, const std::string& value,
                     std::size_t bytes) {
    const platform::RegNode* k = key ? key->subkey(sub) : nullptr;
    return k ? cutText(k->string(value).value_or(""), bytes) : std::string();
}

std::string digitsOr(std::string text, int digits, const char* fallback) {
    const bool plain = !text.empty() && int(text.size()) <= digits &&
                       std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    return plain ? text : std::string(fallback);
}

bool* flag(MsnNode& n, int mask) {
    bool* flags[4] = {&n.popup, &n.log, &n.answer, &n.fax};
    return flags[mask];
}
bool flag(const MsnNode& n, int mask) {
    const bool flags[4] = {n.popup, n.log, n.answer, n.fax};
    return flags[mask];
}

}  // namespace

std::string cutText(std::string text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string controllerKey(int controller) {
    std::string key(orvelin::settings::kProductKey);
    key += "\\MSN";
    if (controller != 1) key += std::to_string(controller);
    return key;
}

MsnSettings loadMsnSettings(const platform::RegNode* root, int controllers, bool faxCapable) {
    MsnSettings s;
    const platform::RegNode* product = root ? root->subkey(orvelin::settings::kProductKey) : nullptr;
    if (product) {
        s.cipMask = product->readDword("CIP Mask", kDefaultCipMask);
        s.infoMask = product->readDword("Info Mask", kDefaultInfoMask);
    }
    s.cipMaskLoaded = s.cipMask;
    s.infoMaskLoaded = s.infoMask;
    controllers = std::clamp(controllers, 0, kMaxControllers);
    for (int c = 1; c <= controllers; ++c) {
        const platform::RegNode* key = root ? root->subkey(controllerKey(c)) : nullptr;
        std::uint16_t masks[4];
        for (int m = 0; m < 4; ++m) masks[m] = readMask(key, kMaskNames[m]);
        if (!faxCapable) masks[3] = 0;
        for (int k = 1; k <= kMsnsPerController; ++k) {
            MsnNode n;
            n.controller = c;
            n.msn = k;
            for (int m = 0; m < 4; ++m) *flag(n, m) = (masks[m] >> (k - 1)) & 1;
            const std::string value = "MSN" + std::to_string(k);
            n.number = readText(key, kTextKeys[0], value, kMsnNumberBytes);
            n.name = readText(key, kTextKeys[1], value, kMsnNameBytes);
            n.maxTime = digitsOr(readText(key, kTextKeys[2], value, 64), kMaxTimeDigits,
                                 kDefaultMaxTime);
            n.delay = digitsOr(readText(key, kTextKeys[3], value, 64), kDelayDigits, kDefaultDelay);
            s.nodes.push_back(std::move(n));
        }
    }
    return s;
}

void saveMsnSettings(const MsnSettings& s, bool faxCapable, platform::RegNode& root) {
    for (const MsnNode& n : s.nodes) {
        if (n.msn < 1 || n.msn > kMsnsPerController) continue;
        platform::RegNode* key = root.createSubkey(controllerKey(n.controller));
        if (!key) continue;
        const auto bit = std::uint16_t(1u << (n.msn - 1));
        for (int m = 0; m < 4; ++m) {
            std::uint16_t mask = readMask(key, kMaskNames[m]);
            mask = flag(n, m) ? mask | bit : mask & ~bit;
            if (m == 3 && !faxCapable) mask = 0;
            key->setBinary(kMaskNames[m], std::vector<std::uint8_t>{std::uint8_t(mask & 0xFF),
                                                                    std::uint8_t(mask >> 8)});
        }
        const std::string value = "MSN" + std::to_string(n.msn);
        const std::string* texts[4] = {&n.number, &n.name, &n.maxTime, &n.delay};
        for (int t = 0; t < 4; ++t) key->createSubkey(kTextKeys[t])->setString(value, *texts[t]);
    }
    platform::RegNode* product = root.createSubkey(orvelin::settings::kProductKey);
    product->setDword("CIP Mask", s.cipMask);
    product->setDword("Info Mask", s.infoMask);
}

}  // namespace tessaly
