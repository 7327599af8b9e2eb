// The number-configuration form's values: the CIP and info masks of all controllers, and
// per controller the ten MSNs with their texts and flags, as the hive holds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
class RegNode;
struct RegResult;
}  // namespace platform

namespace tessaly {

inline constexpr std::uint32_t kDefaultCipMask = 0x10012;
inline constexpr std::uint32_t kDefaultInfoMask = 1;
inline constexpr int kMsnsPerController = 10;
// The program numbers controllers with one byte.
inline constexpr int kMaxControllers = 127;
// What the program's readers take: 13 and 24 bytes of text, delays up to 86,400 s and
// recording times up to 262,143 s.
inline constexpr std::size_t kMsnNumberBytes = 13;
inline constexpr std::size_t kMsnNameBytes = 24;
inline constexpr int kDelayDigits = 5;
inline constexpr int kMaxTimeDigits = 6;
inline constexpr const char* kDefaultDelay = "15";
inline constexpr const char* kDefaultMaxTime = "180";

struct MsnNode {
    int controller = 1;  // from 1
    int msn = 1;         // 1 to 10
    std::string number;
    std::string name;
    bool popup = false;
    bool log = false;
    bool answer = false;
    bool fax = false;
    std::string delay = kDefaultDelay;
    std::string maxTime = kDefaultMaxTime;
    bool operator==(const MsnNode&) const = default;
};

struct MsnSettings {
    std::uint32_t cipMask = kDefaultCipMask;
    std::uint32_t infoMask = kDefaultInfoMask;
    std::uint32_t cipMaskLoaded = kDefaultCipMask;
    std::uint32_t infoMaskLoaded = kDefaultInfoMask;
    std::vector<MsnNode> nodes;  // controller by controller, MSN 1 to 10
};

// "SOFTWARE\ORVELIN\MSN" for controller 1, "...\MSN<n>" for the others.
std::string controllerKey(int controller);

// Reads everything for `controllers` controllers (cut to 0..kMaxControllers). `root` may be
// null (no hive). Stored values of the wrong type or size read as missing; texts are cut
// to what the program reads, at a character boundary; a delay or recording time that is
// not a plain number gives its default.
MsnSettings loadMsnSettings(const platform::RegNode* root, int controllers, bool faxCapable);

// Writes every node and both masks into `root`, keeping mask bits of other MSNs.
void saveMsnSettings(const MsnSettings& settings, bool faxCapable, platform::RegNode& root);

// Cuts `text` to at most `bytes` bytes of UTF-8 without splitting a character.
std::string cutText(std::string text, std::size_t bytes);

}  // namespace tessaly
