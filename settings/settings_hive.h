// The settings store's access to the registry hive: single reads, read-only keys, key
// creation and one-transaction updates. Refused changes are logged here. Paths are below
// HKEY_LOCAL_MACHINE.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/registry.h"
#include "settings/settings_values.h"

namespace orvelin::settings {

// One value, or nothing when the hive, the key or the value is missing or unreadable.
std::optional<StoredValue> ReadStoredValue(std::string_view keyPath, std::string_view name);

// A key opened for reading: all its values and subkeys come from one state of the hive.
std::optional<platform::RegKey> OpenStoredKey(std::string_view keyPath);

// Creates the key and its parents when missing. False when the hive cannot be written.
bool CreateStoredKey(std::string_view keyPath);

// Replaces a DWORD in one transaction, creating its key when missing: `change` gets the value
// stored at that moment (null when missing) and returns the DWORD to write. Returns what was
// written, nothing when the hive refused the change.
std::optional<std::uint32_t> UpdateStoredDword(
    std::string_view keyPath, std::string_view name,
    const std::function<std::uint32_t(const StoredValue*)>& change);

}  // namespace orvelin::settings
