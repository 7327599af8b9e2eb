#include "client/call_writers.h"

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

void CallTableSaver::save(const CallRing& ring) {
    save(ring.snapshot());
}

void CallTableSaver::save(std::vector<std::uint8_t> image) {
    std::lock_guard lock(mutex_);
    pending_ = std::move(image);
    if (scheduled_) return;  // the queued write will take this newer image
    scheduled_ = true;
    worker_.post([this] { writeLatest(); });
}

void CallTableSaver::writeLatest() {
    std::vector<std::uint8_t> image;
    {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        if (!pending_) return;
        image = std::move(*pending_);
        pending_.reset();
    }
    std::string error;
    const bool ok = writeCallTable(file_, image, &error);
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

TextLogWriter::TextLogWriter(std::filesystem::path file) : file_(std::move(file)) {}

TextLogWriter::~TextLogWriter() {
    flush();
}

void TextLogWriter::log(const TCallRecord& record, std::uint16_t count) {
    worker_.post(
        [this, line = formatTextLogLine(record, count)] { appendTextLogLine(file_, line); });
}

void TextLogWriter::flush() {
    worker_.waitIdle();
}

}  // namespace orvelin::client
