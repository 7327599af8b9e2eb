#include "client/answering_machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "client/remote_playback.h"
#include "platform/paths.h"
#include "settings/caller_lookup.h"
#include "settings/option_bits.h"

namespace orvelin::client {
namespace {

using settings::HasOption;
using settings::OptionBits;

// The converter makes at most two hours of line audio; anything larger is not its output.
constexpr std::uintmax_t kMaxGreetingFileBytes = std::uintmax_t{64} << 20;

bool readWhole(const std::string& path, std::vector<std::uint8_t>& out) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxGreetingFileBytes) return false;
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f) return false;
    out.resize(static_cast<std::size_t>(size));
    const std::size_t n = std::fread(out.data(), 1, out.size(), f);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    out.resize(n);
    return ok;
}

bool readable(const std::string& path) {
    return ::access(path.c_str(), R_OK) == 0;
}

std::string welcome(const std::string& programDir, int msnNumber) {
    return platform::joinPath(programDir, "Answer", "Welcome" + std::to_string(msnNumber) + ".wav");
}

bool isSet(std::uint32_t options, std::uint32_t bit) {
    return HasOption(options, bit);
}

}  // namespace

std::string chooseGreeting(const std::string& programDir, LineRecord& line, int msnNumber,
                           const std::function<bool(const std::string&)>& canRead) {
    std::string chosen;
    if (line.personalMsg) {
        if (line.unlistedFallback) {
            chosen = platform::joinPath(programDir, "Answer", "Unlisted.wav");
        } else if (!line.matchedKey.empty()) {
            for (std::size_t i = 0; i < line.matchedKey.size() && i < 25; ++i)
                if (line.matchedKey[i] == '?') line.matchedKey[i] = '_';
            chosen = settings::personalGreetingPath(programDir, line.matchedKey);
        } else {
            chosen = platform::joinPath(programDir, "Answer",
                                        platform::fileKey(line.callerNumber) + ".wav");
        }
    } else {
        chosen = welcome(programDir, msnNumber);
    }
    if (canRead(chosen)) return chosen;
    chosen = welcome(programDir, msnNumber);
    if (canRead(chosen)) return chosen;
    return platform::joinPath(programDir, "Answer", "Welcome.wav");
}

AnsweringMachine::AnsweringMachine(std::string programDir, LineRecords& lines,
                                   CallHistory& history, AnsweringPorts& ports)
    : programDir_(std::move(programDir)), lines_(lines), history_(history), ports_(ports) {}

AnsweringMachine::~AnsweringMachine() {
    closeAll();
}

std::size_t AnsweringMachine::queuedBlocks(int line) const {
    if (!lines_.at(line)) return 0;
    const auto& q = audio_[static_cast<std::size_t>(line)].queue;
    return q ? q->size() : 0;
}

std::uint32_t AnsweringMachine::bytesSent(int line) const {
    return lines_.at(line) ? audio_[static_cast<std::size_t>(line)].bytesSent : 0;
}

void AnsweringMachine::update(TCallRecord& record) {
    history_.updateCallRow(record);
    ports_.rowUpdated(record);
}

void AnsweringMachine::blinkIfHidden() {
    if (ports_.mainWindowHidden()) ports_.setTimer(kBlinkTimer, 2000);
}

// ---- Greeting ----

void AnsweringMachine::answerWithGreeting(int line, int msnNumber) {
    answerWithGreeting(line, msnNumber, nullptr);
}

void AnsweringMachine::answerWithGreeting(int line, int msnNumber, const std::string* file) {
    LineRecord* l = lines_.at(line);
    if (!l) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    // An earlier attempt that found no greeting may have begun recording an alerting call.
    if (a.recording.active()) a.recording.discard();
    if (!file) {
        a.bytesSent = 0;
        a.faxSwitchRequested = false;
        a.storedAtFinish = 0;
        a.faxReceived = 0;
    }
    const std::string source = file ? *file : chooseGreeting(programDir_, *l, msnNumber, readable);
    const std::string folder = platform::joinPath(programDir_, "Alw");
    const std::string target = platform::joinPath(folder, "Call" + std::to_string(line) + ".alw");
    const std::uint32_t options = ports_.options();
    const bool gain = isSet(options, OptionBits::GainOnGreeting);
    std::string error;
    bool converted = platform::makeDirectories(folder, 0700, &error);
    if (!converted) log("Cannot create " + folder + ": " + error);
    if (converted)
        converted = ports_.convertGreeting({source, target, !isSet(options, OptionBits::MuLaw),
                                            gain ? 4000 : 0, gain ? 650 : 0, gain ? 130 : 0});
    if (!converted) {
        log("Cannot convert the greeting " + source);
        if (l->maxRecordingTime > 0 || l->recordingGreeting) startRecording(line);
        return;
    }
    std::vector<std::uint8_t> bytes;
    if (!readWhole(target, bytes)) {
        log("Cannot read the converted greeting " + target);
        return;
    }
    l->mode = LineMode::Greeting;
    if (!file) ports_.acceptVoice(line);
    const std::size_t start = lineAudioStart(bytes, bytes.size());
    a.queue = std::make_unique<GreetingQueue>();
    a.queue->fill(std::span<const std::uint8_t>(bytes).subspan(start),
                  lineSilence(!isSet(options, OptionBits::MuLaw)), nextDataHandle_);
    if (file && !a.queue->empty()) {
        a.bytesSent = 0;
        sendNext(line);
    }
}

unsigned AnsweringMachine::sendNext(int line) {
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    GreetingBlock& buffer = a.slots.buffers[static_cast<std::size_t>(a.slots.next)];
    buffer = a.queue->front();
    a.queue->pop();
    a.bytesSent += buffer.length;
    const unsigned rc = ports_.sendData(line, buffer.data.data(), buffer.length, buffer.handle);
    a.slots.lastSentHandle = buffer.handle;
    a.slots.next = (a.slots.next + 1) % kSendSlots;
    return rc;
}

void AnsweringMachine::linkUp(int line) {
    LineRecord* l = lines_.at(line);
    if (!l || l->mode != LineMode::Greeting) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    ports_.startDtmfListen(line);
    if (a.queue && !a.queue->empty()) {
        a.bytesSent = 0;
        sendNext(line);
        if (isSet(ports_.options(), OptionBits::ExtraGreetingBlocks)) {
            for (int i = 0; i < 3 && !a.queue->empty(); ++i) {
                // A refused block is dropped; its buffer and handle are not used up.
                const GreetingBlock block = a.queue->front();
                const unsigned rc =
                    ports_.sendData(line, block.data.data(), block.length, block.handle);
                a.queue->pop();
                if (rc != 0) break;
                a.slots.buffers[static_cast<std::size_t>(a.slots.next)] = block;
                a.bytesSent += block.length;
                a.slots.lastSentHandle = block.handle;
                a.slots.next = (a.slots.next + 1) % kSendSlots;
            }
        }
    }
    if (TCallRecord* record = history_.find(l->callId)) {
        record->setState(CallState::Answered);
        update(*record);
    }
}

void AnsweringMachine::dataSent(int line, std::uint16_t handle) {
    LineRecord* l = lines_.at(line);
    if (!l || l->lineState != kLineConnected || l->mode != LineMode::Greeting) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    if (TCallRecord* record = history_.find(l->callId)) record->setState(CallState::Answered);
    ports_.setStatusText("Sent " + std::to_string(a.bytesSent) + " bytes");
    if (a.queue && !a.queue->empty()) {
        sendNext(line);
        return;
    }
    if (l->authorised && l->playbackActive) {
        remotePlayback(line);
    } else if (l->maxRecordingTime > 0 || l->recordingGreeting) {
        // Only the confirmation of the very last block: the caller has heard it all.
        if (handle == a.slots.lastSentHandle) startRecording(line);
    } else {
        ports_.disconnect(line);
    }
}

// ---- Remote inquiry ----

void AnsweringMachine::dtmf(int line, const std::string& keys) {
    LineRecord* l = lines_.at(line);
    if (!l || keys.empty()) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    if (keys[0] == 'X' || keys[0] == 'Y') {
        // Tones repeat while the fax machine waits: a second request would break the switch.
        if (l->mode == LineMode::FaxReceive || a.faxSwitchRequested) return;
        a.faxSwitchRequested = true;
        log("Fax tones on line " + std::to_string(line + 1));
        ports_.requestFaxSwitch(line);
        a.queue.reset();
        return;
    }
    if (!l->authorised) return;
    const CallRing& ring = history_.ring();
    choosePlayback(*l, keys[0], ring.head(), ring.size());
    a.queue.reset();
}

void AnsweringMachine::remotePlayback(int line) {
    LineRecord& l = *lines_.at(line);
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    const std::string folder = platform::joinPath(programDir_, "Messages");
    const PlaybackStep step = nextPlayback(l, history_.ring(), [&](const TCallRecord& r) {
        const std::string path(r.filePath.view());
        if (fileInsideFolder(path, folder)) return true;
        log("Not played, not a stored message: " + path);
        return false;
    });
    switch (step.kind) {
        case PlaybackStep::Play: {
            a.queue.reset();
            TCallRecord& record = history_.ring().at(step.ringIndex);
            record.setState(CallState::ReadVoiceMessage);
            update(record);
            const std::string path(record.filePath.view());
            answerWithGreeting(line, l.msnNumber, &path);
            break;
        }
        case PlaybackStep::PlayNoMore: {
            const std::string path = platform::joinPath(programDir_, "Answer", "NoMore.wav");
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && st.st_size > 0)
                answerWithGreeting(line, l.msnNumber, &path);
            break;
        }
        case PlaybackStep::Disconnect:
            ports_.disconnect(line);
            break;
        case PlaybackStep::Nothing:
            break;
    }
}

// ---- Recording ----

void AnsweringMachine::startRecording(int line) {
    LineRecord& l = *lines_.at(line);
    TCallRecord* record = history_.find(l.callId);
    if (!record) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    const std::string folder =
        platform::joinPath(programDir_, "Alw", "MSN" + std::to_string(l.msnNumber));
    const std::uint64_t limit =
        l.recordingGreeting ? 0
                            : static_cast<std::uint64_t>(std::max(l.maxRecordingTime, 0)) *
                                  kRecordingBytesPerLimitSecond;
    const std::string raw = rawRecordingPath(folder, record->arrival);
    a.messageName = std::filesystem::path(raw).stem().string();
    a.recording.start(raw, limit, [this](const std::string& text) { log(text); });
    a.storedAtFinish = 0;
    a.hangUpRequested = false;
    l.mode = LineMode::Recording;
}

void AnsweringMachine::dataReceived(int line, const std::uint8_t* data, std::size_t length) {
    LineRecord* l = lines_.at(line);
    if (!l || !data) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    if (l->mode == LineMode::FaxReceive) {
        if (TCallRecord* record = history_.find(l->callId)) record->setState(CallState::BrokenFax);
        a.faxReceived += length;
        a.fax.write(data, length);
        ports_.setStatusText("Received " + std::to_string(a.faxReceived) + " bytes");
    } else if (l->mode == LineMode::Recording) {
        const bool stop = a.recording.receive(
            data, length, [this](const std::string& path) { return ports_.freeBytes(path); },
            [this](const std::string& text) { log(text); });
        if (stop && !a.hangUpRequested) {
            a.hangUpRequested = true;
            ports_.disconnect(line);
        }
        ports_.setStatusText("Received " + std::to_string(a.recording.received()) + " bytes");
    }
}

void AnsweringMachine::finishRecording(int line, TCallRecord* record) {
    LineRecord& l = *lines_.at(line);
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    const std::uint32_t options = ports_.options();
    // Named by the arrival, not by the raw file, which may carry a number of its own.
    RecordingTarget target = messageTarget(
        options, l.recordingGreeting
                     ? welcome(programDir_, l.msnNumber)
                     : messageWavePath(programDir_, options, l.msnNumber, a.messageName,
                                       platform::fileKey(l.callerNumber)));
    target.greeting = l.recordingGreeting;
    a.storedAtFinish = a.recording.stored();
    std::string written;
    const FinishResult result = client::finishRecording(
        a.recording, target, record, [this](const std::string& text) { log(text); }, &written);
    if (result == FinishResult::Converted && isSet(options, OptionBits::AutoPlayMessages))
        ports_.playSound(written);
    l.mode = LineMode::Idle;
}

// ---- Fax ----

bool AnsweringMachine::startFax(int line, TCallRecord* record) {
    LineRecord& l = *lines_.at(line);
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    const LocalDateTime arrival =
        record ? record->arrival : makeArrivalTime(std::chrono::system_clock::now()).local;
    const std::string wanted =
        faxFilePath(programDir_, ports_.options(), l.msnNumber, arrival, l.callerNumber);
    a.faxReceived = 0;
    std::string error;
    const bool ok = a.fax.create(wanted, &error);
    if (!ok) log("Cannot create " + wanted + ": " + error);
    // Empty without a file of this call's own: an empty fax's clearing removes faxPath.
    a.faxPath = a.fax.path();
    l.mode = LineMode::FaxReceive;
    if (record) record->filePath.assign(a.faxPath);
    return ok;
}

void AnsweringMachine::answerFaxCall(int line) {
    LineRecord* l = lines_.at(line);
    if (!l) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    if (a.recording.active()) a.recording.discard();
    a.bytesSent = 0;
    a.faxSwitchRequested = false;
    TCallRecord* record = history_.find(l->callId);
    startFax(line, record);
    ports_.acceptFax(line, faxStationId(record));
}

void AnsweringMachine::switchLineToFax(int line, std::uint16_t messageNumber) {
    LineRecord* l = lines_.at(line);
    if (!l) return;
    // The fax link's own end must not restart the reception.
    if (l->mode == LineMode::FaxReceive) return;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    // What was recorded so far is the fax machine's tones.
    if (a.recording.active()) a.recording.discard();
    a.queue.reset();
    TCallRecord* record = history_.find(l->callId);
    const std::string station = faxStationId(record);
    startFax(line, record);
    if (record) {
        record->setState(CallState::BrokenFax);
        update(*record);
    }
    ports_.selectFaxProtocol(line, static_cast<std::uint16_t>(messageNumber + 1), station);
}

// ---- Clearing ----

bool AnsweringMachine::cleared(int line, TCallRecord* record, std::int16_t faxPages) {
    LineRecord* l = lines_.at(line);
    if (!l) return false;
    LineAudio& a = audio_[static_cast<std::size_t>(line)];
    bool faxThread = false;
    switch (l->mode) {
        case LineMode::FaxReceive:
            a.fax.close();
            a.queue.reset();
            if (record) {
                if (a.fax.written() <= kEmptyFaxBytes) {
                    record->setState(CallState::Answered);
                    if (!a.faxPath.empty()) ::unlink(a.faxPath.c_str());
                    record->filePath.assign("");
                } else if (!isSet(ports_.options(), OptionBits::FaxToTiff)) {
                    record->setState(CallState::Fax);
                } else {
                    record->setState(CallState::BrokenFax);
                    record->count = static_cast<std::uint16_t>(std::max<std::int16_t>(faxPages, 0));
                    ports_.startFaxThread(*record);
                    faxThread = true;
                }
                update(*record);
            }
            blinkIfHidden();
            break;
        case LineMode::Greeting:
            a.queue.reset();
            if (record) update(*record);
            break;
        case LineMode::Recording:
            finishRecording(line, record);
            if (record) update(*record);
            a.queue.reset();
            blinkIfHidden();
            break;
        case LineMode::Idle:
            break;
    }
    l->mode = LineMode::Idle;
    a.faxSwitchRequested = false;
    const LineRecord* other = lines_.at(1 - line);
    if (!other || other->mode == LineMode::Idle) ports_.setStatusText("");
    return faxThread;
}

std::optional<std::uint16_t> AnsweringMachine::dataCount(int line, const TCallRecord& record,
                                                         std::int16_t faxPages) const {
    if (!lines_.at(line)) return std::nullopt;
    const LineAudio& a = audio_[static_cast<std::size_t>(line)];
    switch (static_cast<CallState>(record.state)) {
        case CallState::Answered:
            return static_cast<std::uint16_t>(a.bytesSent / 8000);
        case CallState::VoiceMessage:
            return static_cast<std::uint16_t>(std::min<std::uint64_t>(a.storedAtFinish / 8000, 0xFFFF));
        case CallState::BrokenFax:
        case CallState::Fax:
        case CallState::ViewedFaxMessage:
            return static_cast<std::uint16_t>(std::max<std::int16_t>(faxPages, 0));
        default:
            return std::nullopt;
    }
}

void AnsweringMachine::endCalls() {
    for (int line = 0; line < kLineCount; ++line) {
        LineRecord* l = lines_.at(line);
        if (!l || l->mode != LineMode::Recording) continue;
        TCallRecord* record = history_.find(l->callId);
        finishRecording(line, record);
        if (record) {
            if (auto count = dataCount(line, *record, 0)) record->count = *count;
            update(*record);
            if (l->logCall) history_.startLog(*record, record->count);
        }
        l->unbind();
    }
    closeAll();
}

void AnsweringMachine::closeAll() {
    for (int line = 0; line < kLineCount; ++line) {
        LineAudio& a = audio_[static_cast<std::size_t>(line)];
        a.queue.reset();
        a.recording.close();
        a.fax.close();
        if (LineRecord* l = lines_.at(line)) l->mode = LineMode::Idle;
    }
}

}  // namespace orvelin::client
