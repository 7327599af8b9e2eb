#include "shell/line_lock.h"

#include <QString>
#include <algorithm>

#include "platform/registry.h"

namespace orvelin::shell {

const std::array<const char*, kLineChoices> kLineChoiceNames = {
    "All lines", "MSN 1", "MSN 2", "MSN 3", "MSN 4",  "MSN 5",
    "MSN 6",     "MSN 7", "MSN 8", "MSN 9", "MSN 10", "No lines"};

StoredPassword readLinePassword(int choice) {
    using Kind = StoredPassword::Kind;
    const std::string name = "Pass" + std::to_string(choice);
    platform::RegResult error;
    const auto key = platform::Hive::atDefaultPath().openKey("SOFTWARE\\ORVELIN",
                                                            platform::RegAccess::Read, &error);
    if (!key) {
        if (error.status == platform::RegStatus::NotFound) return {};
        return {Kind::Unusable, {}, "the settings cannot be read: " + error.message};
    }
    const platform::RegValue* value = key->value(name);
    if (!value) return {};
    if (value->type != platform::RegType::String && value->type != platform::RegType::ExpandString)
        return {Kind::Unusable, {}, "\"" + name + "\" is not a string"};
    return {Kind::Text, std::string(value->data.begin(), value->data.end()), {}};
}

int LineLock::choose(int current, int requested) const {
    if (requested < 0 || requested >= kLineChoices || requested == current) return current;
    if (requested == kNoLinesChoice) return requested;
    const StoredPassword stored =
        ports_.stored ? ports_.stored(requested) : readLinePassword(requested);
    switch (stored.kind) {
        case StoredPassword::Kind::Absent:
            return requested;
        case StoredPassword::Kind::Unusable:
            if (ports_.log)
                ports_.log(std::string("Line lock: ") + kLineChoiceNames[requested] +
                           " stays locked, " + stored.problem);
            return current;
        case StoredPassword::Kind::Text:
            break;
    }
    // The field must be able to hold the whole stored value, however long it is.
    const int storedChars = int(QString::fromStdString(stored.text).size());
    const std::optional<std::string> given =
        ports_.ask ? ports_.ask(std::max(kPasswordFieldChars, storedChars)) : std::nullopt;
    if (!given) return kNoLinesChoice;
    return *given == stored.text ? requested : current;
}

}  // namespace orvelin::shell
