#include "client/call_writers.h"

#include <algorithm>
#include <utility>

#include "client/text_log.h"

namespace orvelin::client {

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_) thread_->join();
}

void SerialWorker::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (!thread_) {
        // Disk writes must never compete with the window or CAPI threads.
        thread_.emplace([this](platform::StopFlag&) { run(); },
                        platform::WorkerOptions{.startSuspended = false, .lowestPriority = true});
    }
    wake_.notify_one();
}

void SerialWorker::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return tasks_.empty() && !busy_; });
}

void SerialWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and everything queued has run
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        task();
        lock.lock();
        busy_ = false;
        if (tasks_.empty()) idle_.notify_all();
    }
}

CallTableSaver::CallTableSaver(std::filesystem::path file, LogLine log)
    : file_(std::move(file)), log_(std::move(log)) {}

CallTableSaver::~CallTableSaver() {
    flush();
}

void CallTableSaver::save(CallRing& ring) {
    CallRingChanges changes = ring.takeChanges();
    if (changes.whole || base_ != &ring) {
        save(static_cast<const CallRing&>(ring));
        base_ = &ring;
        baseHead_ = ring.head();
        return;
    }
    if (changes.slots.empty() && ring.head() == baseHead_) return;  // nothing new to write
    baseHead_ = ring.head();
    handOver([&](Pending& p) {
        p.head = ring.head();
        for (const std::uint32_t slot : changes.slots) {
            const CallRecordBytes bytes = encodeCallRecord(std::as_const(ring).at(slot));
            const auto [it, added] = p.recordAt.try_emplace(slot, p.records.size());
            if (added) {
                p.records.emplace_back(slot, bytes);
            } else {
                p.records[it->second].second = bytes;
            }
        }
    });
}

void CallTableSaver::adopt(CallRing& ring, std::vector<std::uint8_t> image) {
    ring.takeChanges();
    handOver([&](Pending& p) {
        p = Pending{};
        p.whole = std::move(image);
        p.wholeOnDisk = true;
    });
    base_ = &ring;
    baseHead_ = ring.head();
}

void CallTableSaver::save(const CallRing& ring) {
    save(ring.snapshot());
}

void CallTableSaver::save(std::vector<std::uint8_t> image) {
    base_ = nullptr;
    handOver([&](Pending& p) {
        // The whole image supersedes every change handed over before it.
        p = Pending{};
        p.whole = std::move(image);
    });
}

void CallTableSaver::handOver(const std::function<void(Pending&)>& fill) {
    std::lock_guard lock(mutex_);
    fill(pending_);
    if (scheduled_) return;  // the queued write will take this as well
    scheduled_ = true;
    worker_.post([this] { writeLatest(); });
}

void CallTableSaver::writeLatest() {
    Pending p;
    {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        p = std::exchange(pending_, Pending{});
    }
    if (p.whole) image_ = std::move(*p.whole);
    if (image_.size() < 4) return;
    if (p.wholeOnDisk && !p.head && p.records.empty()) return;
    if (p.head) {
        for (int i = 0; i < 4; ++i)
            image_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*p.head >> (8 * i));
    }
    for (const auto& [slot, bytes] : p.records) {
        const std::size_t at = 4 + std::size_t{slot} * kCallRecordSize;
        if (at + kCallRecordSize <= image_.size())
            std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    std::string error;
    const bool ok = writeCallTable(file_, image_, &error);
    {
        std::lock_guard lock(mutex_);
        ++writes_;
    }
    if (!ok && log_) log_(error);
}

void CallTableSaver::flush() {
    worker_.waitIdle();
}

std::uint64_t CallTableSaver::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

TextLogWriter::TextLogWriter(std::filesystem::path file, LogLine log)
    : file_(std::move(file)), log_(std::move(log)) {}

TextLogWriter::~TextLogWriter() {
    worker_.post([this] {
        if (held_.empty()) return;
        // Nothing is given up unseen: the lines go to the report instead.
        std::string_view rest = held_;
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = rest.substr(0, end == rest.npos ? rest.size() : end);
            std::string_view text = line;
            if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
            report("Not written to " + file_.string() + ": " + std::string(text));
            rest.remove_prefix(end == rest.npos ? rest.size() : end + 1);
        }
        held_.clear();
    });
    flush();
}

void TextLogWriter::log(const TCallRecord& record, std::uint16_t count) {
    worker_.post([this, line = formatTextLogLine(record, count)]() mutable { write(std::move(line)); });
}

void TextLogWriter::write(std::string line) {
    held_ += line;
    if (held_.size() > kMaxHeldBytes) {
        std::size_t cut = held_.size() - kMaxHeldBytes;
        const std::size_t end = held_.find('\n', cut);
        cut = end == std::string::npos ? held_.size() : end + 1;
        const auto lost = std::count(held_.begin(), held_.begin() + std::ptrdiff_t(cut), '\n');
        held_.erase(0, cut);
        report("Text log " + file_.string() + ": " + std::to_string(lost) +
               " older lines given up, " + std::to_string(kMaxHeldBytes >> 10) + " KiB still kept");
    }
    std::size_t written = 0;
    std::string error;
    const bool ok = appendTextLogLine(file_, held_, &written, &error);
    held_.erase(0, written);
    if (ok) {
        reported_ = false;
        return;
    }
    if (reported_) return;
    reported_ = true;
    report("Cannot write the text log " + file_.string() + ": " + error +
           "; the line is kept and written with the next one");
}

void TextLogWriter::flush() {
    worker_.waitIdle();
}

}  // namespace orvelin::client
