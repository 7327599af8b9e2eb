// How the incoming-call decision starts an answer on a line. The answering machine and
// fax reception implement it; until they exist the window plugs in UnansweredLines.
#pragma once

#include <functional>
#include <string>
#include <utility>

namespace orvelin::client {

class LineHandler {
  public:
    virtual ~LineHandler() = default;

    // Answers the alerting call on `line` (0 or 1, never anything else): picks the
    // greeting of MSN `msnNumber` (1-10; 0 when the call matched no MSN, which takes
    // the general greeting), accepts the call and sends the greeting. Called at once
    // by the decision, or when the line's answer delay runs out while it still
    // alerts. The line record is filled for the call before the call.
    virtual void answerWithGreeting(int line, int msnNumber) = 0;

    // Accepts the alerting call on `line` (0 or 1) as a fax. The call record's state
    // is already "Broken FAX" (5) and its row updated afterwards by the decision.
    virtual void answerFaxCall(int line) = 0;
};

// Without an answering machine the call stays alerting and shown; each request is
// logged so the user sees why nobody answered.
class UnansweredLines : public LineHandler {
  public:
    explicit UnansweredLines(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    void answerWithGreeting(int line, int msnNumber) override {
        if (log_)
            log_("No answering machine: call on line " + std::to_string(line) + " (MSN " +
                 std::to_string(msnNumber) + ") left alerting");
    }
    void answerFaxCall(int line) override {
        if (log_) log_("No fax reception: call on line " + std::to_string(line) + " left alerting");
    }

  private:
    std::function<void(const std::string&)> log_;
};

}  // namespace orvelin::client
