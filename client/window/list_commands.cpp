#include "client/window/list_commands.h"

#include <cstdio>

#include "client/call_ring.h"
#include "settings/option_bits.h"

namespace orvelin::client {

namespace {

using settings::HasOption;
using settings::OptionBits;

bool containsNoCase(std::string_view text, std::string_view needle) {
    if (needle.size() > text.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && std::toupper(static_cast<unsigned char>(text[i + k])) ==
                                        std::toupper(static_cast<unsigned char>(needle[k])))
            ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> lookupCommand(const std::string& pattern, const std::string& number) {
    std::vector<std::string> words = platform::splitCommandLine(pattern);
    for (std::string& w : words) {
        const std::size_t at = w.find("%s");
        if (at == std::string::npos) continue;
        w.replace(at, 2, number);
        break;  // the first "%s" only
    }
    return words;
}

bool closeRingGap(CallRing& ring, std::uint32_t index) {
    const std::uint32_t size = ring.size();
    if (index >= size) return false;
    std::uint32_t i = index;
    while (i != ring.head()) {
        const std::uint32_t next = (i + 1) % size;
        ring.at(i) = ring.at(next);
        ring.at(next) = TCallRecord{};
        i = next;
    }
    // The oldest record of a full ring sits in the head slot: it just goes. Moving the
    // head back would point it at the newest record, which the next call would overwrite.
    const bool atHead = index == ring.head();
    if (atHead) ring.at(index) = TCallRecord{};
    std::vector<TCallRecord> records;
    records.reserve(size);
    for (std::uint32_t k = 0; k < size; ++k) records.push_back(ring.at(k));
    const std::uint32_t head = atHead ? ring.head() : ring.head() == 0 ? size - 1 : ring.head() - 1;
    return ring.replace(head, std::move(records));
}

bool renameCaller(CallRing& ring, std::string_view number, bool restricted,
                  std::string_view name) {
    if (number == "Unknown" || number == "Restricted") number = {};
    bool changed = false;
    for (std::uint32_t i = 0; i < ring.size(); ++i) {
        TCallRecord& r = ring.at(i);
        if (!r.inUse() || r.callerNumber.view() != number || r.restricted() != restricted) continue;
        if (r.callerName.view() == name) continue;
        r.callerName.assign(name);
        changed = true;
    }
    return changed;
}

ListCommands::ListCommands(CallHistory& history, Hooks hooks)
    : history_(history), hooks_(std::move(hooks)) {}

int ListCommands::removeEntries(const std::vector<std::uint32_t>& ids) {
    const std::uint32_t options = hooks_.options ? hooks_.options() : 0;
    int removed = 0;
    for (const std::uint32_t id : ids) {
        const int index = history_.findIndex(id);
        if (index >= 0) {
            const std::string path(history_.ring().at(std::uint32_t(index)).filePath.view());
            if (!path.empty() && !isGreetingRecording(path)) {
                const bool keep = isFaxFile(path) ? HasOption(options, OptionBits::KeepFaxFiles)
                                                  : HasOption(options, OptionBits::KeepVoiceFiles);
                if (!keep) deleteFileInside(hooks_.programDir, path);
            }
            closeRingGap(history_.ring(), std::uint32_t(index));
        }
        // Only this row: the others stay as they are, and no peer is told.
        if (!history_.list().removeRow(id)) break;
        ++removed;
    }
    if (removed == 0) return 0;
    history_.startSave();
    if (hooks_.listChanged) hooks_.listChanged();
    return removed;
}

bool ListCommands::editRemark(std::uint32_t id) {
    TCallRecord* record = history_.find(id);
    if (!record || !hooks_.editText) return false;
    std::optional<std::string> text = hooks_.editText(std::string(record->comment.view()));
    // The record may have left the ring while the dialog was open.
    record = history_.find(id);
    if (!text || !record) return false;
    record->comment.assign(*text);
    history_.updateCallRow(*record);  // also saves the ring
    if (hooks_.autosizeColumn) hooks_.autosizeColumn(kColumnComment);
    if (hooks_.listChanged) hooks_.listChanged();
    return true;
}

void ListCommands::lookup(std::uint32_t id) {
    const TCallRecord* record = history_.find(id);
    if (!record) return;
    const std::string pattern = hooks_.lookupApp ? hooks_.lookupApp() : std::string();
    const std::string title = hooks_.lookupWindow ? hooks_.lookupWindow() : std::string();
    const std::vector<std::string> argv =
        pattern.empty() ? std::vector<std::string>{}
                        : lookupCommand(pattern, std::string(record->callerNumber.view()));
    if (!title.empty() && hooks_.raiseWindow && hooks_.raiseWindow(title)) return;
    if (!argv.empty() && hooks_.spawn) hooks_.spawn(argv);
}

void ListCommands::openFax(TCallRecord& record, const std::string& path) {
    platform::SpawnResult r =
        hooks_.openDocument ? hooks_.openDocument(path) : platform::SpawnResult{};
    if (r.started()) {
        record.setState(CallState::ViewedFaxMessage);
    } else if (hooks_.box) {
        hooks_.box(kFaxViewErrorText);
    }
    history_.updateCallRow(record);
}

void ListCommands::activate(std::uint32_t id) {
    TCallRecord* record = history_.find(id);
    if (!record) return;
    const std::uint32_t options = hooks_.options ? hooks_.options() : 0;
    switch (static_cast<CallState>(record->state)) {
        case CallState::VoiceMessage:
        case CallState::ReadVoiceMessage:
            // Heard only when it plays; whatever else plays is cut short.
            if (!hooks_.playSound || !hooks_.playSound(std::string(record->filePath.view())))
                break;
            record->setState(CallState::ReadVoiceMessage);
            history_.updateCallRow(*record);
            break;
        case CallState::BrokenFax: {
            const std::string path(record->filePath.view());
            if (!HasOption(options, OptionBits::FaxToTiff) || !containsNoCase(path, ".SFF")) break;
            std::string written;
            const int rc = hooks_.convertFax ? hooks_.convertFax(path, &written) : 1;
            if (rc == 1) {
                if (hooks_.box) hooks_.box(kBrokenFaxHeaderText);
                break;
            }
            if (rc != 0) {
                char text[1024];
                std::snprintf(text, sizeof text, kFaxConversionErrorFormat, rc, path.c_str());
                if (hooks_.box) hooks_.box(text);
                break;
            }
            // The converter names the file it wrote; that is the path to keep. Without a
            // name nothing is known to be written, and a name the record cannot hold
            // leaves it on the SFF, which then stays.
            if (written.empty()) break;
            if (written.size() < decltype(TCallRecord::filePath)::capacity()) {
                if (!HasOption(options, OptionBits::KeepFaxAfterTiff) && written != path)
                    deleteFileInside(hooks_.programDir, path);
                record->filePath.assign(written);
            }
            record->setState(CallState::Fax);
            history_.updateCallRow(*record);
            openFax(*record, written);
            break;
        }
        case CallState::Fax:
        case CallState::ViewedFaxMessage:
            openFax(*record, std::string(record->filePath.view()));
            break;
        case CallState::Sms:
        case CallState::ReadSms:
            editRemark(id);
            break;
        default:
            break;
    }
}

}  // namespace orvelin::client
