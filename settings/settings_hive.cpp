#include "settings/settings_hive.h"

#include <string>

#include "settings/settings_log.h"

namespace orvelin::settings {

std::optional<StoredValue> ReadStoredValue(std::string_view keyPath, std::string_view name) {
    const auto key = OpenStoredKey(keyPath);
    if (!key) return std::nullopt;
    const StoredValue* value = key->value(name);
    if (!value) return std::nullopt;
    return *value;
}

std::optional<platform::RegKey> OpenStoredKey(std::string_view keyPath) {
    return platform::Hive::atDefaultPath().openKey(keyPath, platform::RegAccess::Read);
}

bool CreateStoredKey(std::string_view keyPath) {
    platform::RegResult result;
    if (platform::Hive::atDefaultPath().createKey(keyPath, &result)) return true;
    SettingsLog("Cannot create registry key " + std::string(keyPath) + ": " + result.message);
    return false;
}

std::optional<std::uint32_t> UpdateStoredDword(
    std::string_view keyPath, std::string_view name,
    const std::function<std::uint32_t(const StoredValue*)>& change) {
    std::uint32_t written = 0;
    const platform::RegResult result =
        platform::Hive::atDefaultPath().update([&](platform::RegNode& root) -> platform::RegResult {
            platform::RegNode* key = root.createSubkey(keyPath);
            if (!key) return {platform::RegStatus::InvalidName, std::string(keyPath)};
            written = change(key->value(name));
            key->setDword(name, written);
            return {};
        });
    if (result.ok()) return written;
    SettingsLog("Cannot write registry value " + std::string(keyPath) + "\\" + std::string(name) +
                ": " + result.message);
    return std::nullopt;
}

}  // namespace orvelin::settings
