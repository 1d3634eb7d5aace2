#include "app/event_acknowledgement.h"

#include <ostream>

namespace drvnt {
namespace {

const char* OutcomeText(HandOverOutcome outcome) {
  switch (outcome) {
    case HandOverOutcome::NotAsked:
      return "off";
    case HandOverOutcome::Sent:
      return "sent";
    case HandOverOutcome::Spooled:
      return "spooled";
    case HandOverOutcome::DroppedOnPurpose:
      return "dropped (NotSendToDiskV8)";
    case HandOverOutcome::Withdrawn:
      return "not sent, the other link could not keep it";
    case HandOverOutcome::Lost:
      return "neither sent nor spooled";
  }
  return "?";
}

}  // namespace

bool IsKept(HandOverOutcome outcome) {
  return outcome == HandOverOutcome::Sent || outcome == HandOverOutcome::Spooled;
}

bool ShouldAcknowledge(const HandOverOutcomes& outcomes) {
  const auto fine = [](HandOverOutcome o) {
    return o != HandOverOutcome::Lost && o != HandOverOutcome::Withdrawn;
  };
  return fine(outcomes.v8) && fine(outcomes.v7);
}

std::string EventLabel(const DecodedEvent& event) {
  return "object " + std::to_string(event.ObjectNumber) + ", code " + event.EventCode + ", zone " +
         std::string(event.zoneText.begin(), event.zoneText.end());
}

EventAcknowledgement::EventAcknowledgement(std::ostream& err, ReportError report)
    : err_(err), report_(std::move(report)) {}

bool EventAcknowledgement::Decide(const DecodedEvent& event, const HandOverOutcomes& outcomes) {
  if (!ShouldAcknowledge(outcomes)) {
    ReportWithheld(EventLabel(event), outcomes);
    return false;
  }
  if (inOutage_ && (IsKept(outcomes.v8) || IsKept(outcomes.v7))) {
    err_ << "receiver: events are kept again; " << withheld_
         << " event frame(s) were not acknowledged meanwhile" << std::endl;
    inOutage_ = false;
    withheld_ = 0;
  }
  return true;
}

void EventAcknowledgement::ReportWithheld(const std::string& label,
                                          const HandOverOutcomes& outcomes) {
  ++withheld_;
  err_ << "receiver: event frame not acknowledged, not every link kept the event (" << label
       << "; V8: " << OutcomeText(outcomes.v8) << ", V7: " << OutcomeText(outcomes.v7)
       << "); the receiver will send it again" << std::endl;
  if (inOutage_)
    return;
  inOutage_ = true;
  if (report_) {
    report_(
        "Events cannot be kept: a link does not take them and their spool files cannot be written. "
        "The receiver's event frames are not acknowledged until one is kept again; the receiver "
        "repeats them meanwhile. First: " +
        label + ".");
  }
}

}  // namespace drvnt
