#include "client/call_history.h"

#include "client/text_log.h"
#include "settings/option_bits.h"

namespace orvelin::client {

CallHistory::CallHistory(Config config)
    : config_(std::move(config)),
      ring_(config_.maxCalls),
      list_(ring_, {config_.queueToClients, [this] { startSave(); }, {}}),
      saver_(callTablePath(config_.programDir), config_.log),
      logWriter_(textLogPath(config_.programDir)) {}

CallHistory::~CallHistory() {
    flush();
}

void CallHistory::load() {
    if (!loadCallTable(callTablePath(config_.programDir), ring_, config_.log)) startSave();
    list_.setLongDate(settings::HasOption(options(), settings::OptionBits::LongDate));
    list_.rebuild();
}

TCallRecord& CallHistory::takeNew(const ArrivalTime& arrival) {
    return ring_.takeNew(arrival, OverwritePolicy::fromOptions(options()), config_.programDir);
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
