#include "client/fax_post.h"

#include <cstdio>

#include "media/fax_tiff.h"
#include "settings/option_bits.h"

namespace orvelin::client {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool hasSffName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view name =
        std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    static constexpr std::string_view kExt = ".sff";
    for (std::size_t i = 0; i + kExt.size() <= name.size(); ++i) {
        std::size_t k = 0;
        while (k < kExt.size() && lower(name[i + k]) == kExt[k]) ++k;
        if (k == kExt.size()) return true;
    }
    return false;
}

FaxOutcome finishFax(const std::string& sffPath, std::uint32_t options, const PrintDocument& print,
                     const ErrorBox& errorBox) {
    using settings::HasOption;
    using settings::OptionBits;
    FaxOutcome out;
    out.filePath = sffPath;
    std::string written;
    if (sffPath.empty() || media::ConvertSffToTiff(sffPath, &written) != media::SffTiffDone ||
        written.empty()) {
        out.state = CallState::BrokenFax;
        return out;
    }
    out.state = CallState::Fax;
    // The record must be able to hold the new path, or the SFF would be lost to it.
    const bool switchPath = hasSffName(sffPath) && written != sffPath &&
                            written.size() < decltype(TCallRecord::filePath)::capacity();
    if (switchPath) {
        if (!HasOption(options, OptionBits::KeepFaxAfterTiff)) std::remove(sffPath.c_str());
        out.filePath = written;
    }
    if (HasOption(options, OptionBits::PrintFaxes)) {
        const platform::SpawnResult printed = print ? print(written) : platform::SpawnResult{};
        if (printed.started()) {
            out.state = CallState::ViewedFaxMessage;
        } else if (errorBox) {
            errorBox("Error viewing fax.", "Error");
        }
    }
    return out;
}

bool applyFaxDone(TCallRecord& record, const FaxDone& done) {
    if (done.callId == 0 || record.id != done.callId) return false;
    record.setState(done.outcome.state);
    record.filePath.assign(done.outcome.filePath);
    return true;
}

}  // namespace orvelin::client
