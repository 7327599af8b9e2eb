#include "client/recording_recovery.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "client/line_record.h"
#include "platform/paths.h"
#include "settings/caller_lookup.h"

namespace orvelin::client {
namespace {

namespace fs = std::filesystem;

struct RawName {
    LocalDateTime arrival;
    std::string base;  // "MSG_<arrival>", without a number of its own
};

// "MSG_YYYY.MM.DD_hh.mm.ss" optionally followed by "_<k>", as the recording made it.
bool parseRawName(const std::string& stem, RawName& out) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int used = -1;
    if (std::sscanf(stem.c_str(), "MSG_%4u.%2u.%2u_%2u.%2u.%2u%n", &y, &mo, &d, &h, &mi, &s,
                    &used) != 6 ||
        used != 23)
        return false;
    const std::string rest = stem.substr(23);
    if (!rest.empty() && (rest.size() < 2 || rest[0] != '_' ||
                          !std::all_of(rest.begin() + 1, rest.end(),
                                       [](char c) { return c >= '0' && c <= '9'; })))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
    out.arrival = {};
    out.arrival.year = static_cast<std::uint16_t>(y);
    out.arrival.month = static_cast<std::uint16_t>(mo);
    out.arrival.day = static_cast<std::uint16_t>(d);
    out.arrival.hour = static_cast<std::uint16_t>(h);
    out.arrival.minute = static_cast<std::uint16_t>(mi);
    out.arrival.second = static_cast<std::uint16_t>(s);
    out.base = stem.substr(0, 23);
    return true;
}

bool sameSecond(const LocalDateTime& a, const LocalDateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

// "MSN<n>" with n from 1 on.
int msnFolderNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "MSN") != 0) return 0;
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// The caller part of a message name, as the line keeps it for the call.
std::string callerKeyOf(const TCallRecord& record) {
    std::string key =
        platform::fileKey(settings::callerKeyText(record.callerNumber.view(), record.restricted()));
    if (key.size() > kLineCallerNumberBytes) {
        std::size_t cut = kLineCallerNumberBytes;
        while (cut > 0 && (static_cast<unsigned char>(key[cut]) & 0xC0) == 0x80) --cut;
        key.resize(cut);
    }
    return key;
}

// The record of the interrupted call: it arrived in that second and names no file yet;
// of several, the one of that MSN first, then the oldest.
int findRecord(const CallRing& ring, const RawName& raw, int msnNumber,
               const std::set<std::uint32_t>& taken) {
    int best = -1;
    bool bestOfMsn = false;
    for (std::uint32_t i : ring.walkOrder()) {
        const TCallRecord& r = ring.at(i);
        if (!r.inUse() || r.hidden() || !r.filePath.empty() || taken.count(i) != 0 ||
            !sameSecond(r.arrival, raw.arrival))
            continue;
        const bool ofMsn = r.msnIndex() != kNoMsnIndex && r.msnIndex() + 1 == msnNumber;
        if (best == -1 || (ofMsn && !bestOfMsn)) {
            best = static_cast<int>(i);
            bestOfMsn = ofMsn;
        }
    }
    return best;
}

}  // namespace

std::vector<RecoveredRecording> recoverRecordings(const std::string& programDir, CallRing& ring,
                                                  std::uint32_t options,
                                                  const Recording::Log& log) {
    struct Found {
        fs::path path;
        int msnNumber;
    };
    std::vector<Found> found;
    std::error_code ec;
    for (const fs::directory_entry& folder : fs::directory_iterator(
             fs::path(platform::joinPath(programDir, "Alw")), ec)) {
        const int msn = msnFolderNumber(folder.path().filename().string());
        std::error_code kindError;
        if (msn == 0 || !folder.is_directory(kindError)) continue;
        std::error_code listError;
        for (const fs::directory_entry& file : fs::directory_iterator(folder.path(), listError)) {
            std::error_code fileError;
            if (file.path().extension() == ".alw" && file.is_regular_file(fileError))
                found.push_back({file.path(), msn});
        }
    }
    // Numbered names after their first: the calls of one second keep their order.
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        const std::string sa = a.path.stem().string(), sb = b.path.stem().string();
        return sa.size() != sb.size() ? sa.size() < sb.size() : sa < sb;
    });

    std::vector<RecoveredRecording> out;
    std::set<std::uint32_t> taken;
    for (const Found& f : found) {
        RawName name;
        if (!parseRawName(f.path.stem().string(), name)) continue;
        RecoveredRecording result;
        result.raw = f.path.string();
        result.msnNumber = f.msnNumber;
        std::error_code sizeError;
        const std::uintmax_t size = fs::file_size(f.path, sizeError);
        if (sizeError) continue;
        const int index = findRecord(ring, name, f.msnNumber, taken);
        TCallRecord* record = nullptr;
        if (index >= 0) {
            taken.insert(static_cast<std::uint32_t>(index));
            record = &ring.at(static_cast<std::uint32_t>(index));
        }
        Recording recording;
        recording.adopt(result.raw, size);
        const RecordingTarget target = messageTarget(
            options, messageWavePath(programDir, options, f.msnNumber, name.base,
                                     record ? callerKeyOf(*record) : std::string()));
        std::string written;
        switch (finishRecording(recording, target, record, log, &written)) {
            case FinishResult::NoMessage:
                log("Removed the interrupted recording " + result.raw + ": too short for a message");
                break;
            case FinishResult::ConversionFailed:
                result.kept = true;
                log("The interrupted recording " + result.raw +
                    " could not be made a message; it is kept for the next start");
                break;
            case FinishResult::Converted:
                result.wave = written;
                if (record) {
                    result.ringIndex = index;
                    record->count = static_cast<std::uint16_t>(std::min<std::uintmax_t>(size / 8000, 0xFFFF));
                    log("The interrupted recording " + result.raw + " is the message " + written);
                } else {
                    log("The interrupted recording " + result.raw +
                        " has no call record any more; kept as " + written);
                }
                break;
        }
        out.push_back(std::move(result));
    }
    return out;
}

}  // namespace orvelin::client
