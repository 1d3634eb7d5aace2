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
  if (IsKept(outcomes.v8) || IsKept(outcomes.v7))
    return true;
  return outcomes.v8 != HandOverOutcome::Lost && outcomes.v7 != HandOverOutcome::Lost;
}

std::string EventLabel(const DecodedEvent& event) {
  return "object " + std::to_string(event.ObjectNumber) + ", code " + event.EventCode + ", zone " +
         std::string(event.zoneText.begin(), event.zoneText.end());
}

EventAcknowledgement::EventAcknowledgement(std::ostream& err, ReportError report)
    : err_(err), report_(std::move(report)) {}

bool EventAcknowledgement::Decide(const DecodedEvent& event, const HandOverOutcomes& outcomes) {
  const bool kept = IsKept(outcomes.v8) || IsKept(outcomes.v7);
  if (kept) {
    ReportLostCopies(EventLabel(event), outcomes);
    if (inOutage_) {
      err_ << "receiver: events are kept again; " << withheld_
           << " event frame(s) were not acknowledged meanwhile" << std::endl;
    }
    inOutage_ = false;
    withheld_ = 0;
    return true;
  }
  if (ShouldAcknowledge(outcomes))
    return true;
  ReportWithheld(EventLabel(event), outcomes);
  return false;
}

void EventAcknowledgement::ReportLostCopies(const std::string& label,
                                            const HandOverOutcomes& outcomes) {
  if (outcomes.v8 == HandOverOutcome::Lost) {
    err_ << "V8: event lost (" << label
         << "): the link did not take it and its spool file could not be written; the V7 link "
            "kept it"
         << std::endl;
  }
  if (outcomes.v7 == HandOverOutcome::Lost) {
    err_ << "V7: event lost (" << label
         << "): the link did not take it and its spool file could not be written; the V8 link "
            "kept it"
         << std::endl;
  }
}

void EventAcknowledgement::ReportWithheld(const std::string& label,
                                          const HandOverOutcomes& outcomes) {
  ++withheld_;
  err_ << "receiver: event frame not acknowledged, nothing kept the event (" << label
       << "; V8: " << OutcomeText(outcomes.v8) << ", V7: " << OutcomeText(outcomes.v7)
       << "); the receiver will send it again" << std::endl;
  if (inOutage_)
    return;
  inOutage_ = true;
  if (report_) {
    report_(
        "Events cannot be kept: no link takes them and no spool file can be written. The "
        "receiver's event frames are not acknowledged until one is kept again; the receiver "
        "repeats them meanwhile. First: " +
        label + ".");
  }
}

}  // namespace drvnt
