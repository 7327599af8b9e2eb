// The line selector's password lock: the call list can be narrowed to one line (or to all
// lines) only by someone who knows that choice's password. "No lines" is always free.
//
// Passwords are the string values "Pass0" (all lines) to "Pass10" under the product key,
// set by an administrator; nothing in the program writes them. A choice whose value is
// absent is free. A value that is there but cannot be used (not a string, an unreadable
// hive) locks the choice and is logged, so a damaged entry never opens a line.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

namespace orvelin::shell {

inline constexpr int kLineChoices = 12;
inline constexpr int kAllLinesChoice = 0;
inline constexpr int kNoLinesChoice = 11;
extern const std::array<const char*, kLineChoices> kLineChoiceNames;

inline constexpr const char* kLineLockCaption = "Orvelin user validation";
inline constexpr const char* kLineLockPrompt = "Enter your password:";
inline constexpr int kPasswordFieldChars = 64;

struct StoredPassword {
    enum class Kind { Absent, Text, Unusable };
    Kind kind = Kind::Absent;
    std::string text;     // Text: the whole value
    std::string problem;  // Unusable: why, for the log
};

// The value for a choice, from the settings hive.
StoredPassword readLinePassword(int choice);

class LineLock {
  public:
    struct Ports {
        std::function<StoredPassword(int choice)> stored;
        // Asks for the password with a masked field that takes maxChars characters;
        // nullopt when the user cancelled.
        std::function<std::optional<std::string>(int maxChars)> ask;
        std::function<void(const std::string&)> log;
    };
    explicit LineLock(Ports ports) : ports_(std::move(ports)) {}

    // The choice that stands after the user picked `requested` while `current` stood:
    // the request when it is free or the right password was given, "No lines" on cancel,
    // else `current`.
    int choose(int current, int requested) const;

  private:
    Ports ports_;
};

}  // namespace orvelin::shell
