#include "client/call_history.h"

#include "client/text_log.h"
#include "settings/option_bits.h"

namespace orvelin::client {

CallHistory::CallHistory(Config config)
    : config_(std::move(config)),
      ring_(config_.maxCalls),
      list_(ring_, {config_.queueToClients, [this] { startSave(); }, {}}),
      saver_(callTablePath(config_.programDir), config_.log),
      logWriter_(textLogPath(config_.programDir), config_.log) {}

CallHistory::~CallHistory() {
    flush();
}

void CallHistory::load() {
    std::vector<std::uint8_t> image;
    if (!loadCallTable(callTablePath(config_.programDir), ring_, config_.log, image)) {
        startSave();
    } else if (!image.empty()) {
        // The file is the ring: the first save after start-up writes only what changed.
        saver_.adopt(ring_, std::move(image));
    }
    list_.setLongDate(settings::HasOption(options(), settings::OptionBits::LongDate));
    list_.rebuild();
}

TCallRecord& CallHistory::takeNew(const ArrivalTime& arrival) {
    // Its row goes with it, wherever a removal left it in the list.
    const std::uint32_t displaced = ring_.size() ? ring_.at(ring_.head()).id : 0;
    TCallRecord& record =
        ring_.takeNew(arrival, OverwritePolicy::fromOptions(options()), config_.programDir);
    if (displaced != 0) list_.removeRow(displaced);
    return record;
}

void CallHistory::addCallRow(const TCallRecord& record) {
    list_.setLongDate(settings::HasOption(options(), settings::OptionBits::LongDate));
    list_.addCallRow(record);
}

void CallHistory::flush() {
    saver_.flush();
    logWriter_.flush();
}

}  // namespace orvelin::client
