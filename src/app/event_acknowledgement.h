#pragma once
// Whether the receiver gets the 0x06 of an event frame. The acknowledgement tells the receiver that
// it may forget the alarm, so for an event it goes only after both hand-overs, and only when every
// enabled link kept the event: its spool file is in place (the journal), or, with NotSendToDiskV8,
// the V8 send queue took the record or the setting dropped it while the link is down. When one
// link could not keep it, the acknowledgement is withheld and the receiver repeats the frame,
// which it keeps in its own memory meanwhile; the repeat may reach the other link twice, which is
// better than a loss. Events the settings send nowhere are acknowledged as before.
//
// A withheld acknowledgement is reported: one line on standard error per frame, and the error
// report once per outage; the outage ends when an event is kept again.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "receiver/frame_decoder.h"

namespace drvnt {

// What one link's hand-over did with an event.
enum class HandOverOutcome {
  NotAsked,          // the link is not enabled
  Sent,              // the V8 send queue or the V7 socket took it
  Spooled,           // a spool file holding it was renamed into place
  DroppedOnPurpose,  // NotSendToDiskV8 with the V8 link down
  Withdrawn,         // not handed over: the other link could not keep the event
  Lost,              // neither the link nor a spool file took it
};

struct HandOverOutcomes {
  HandOverOutcome v8 = HandOverOutcome::NotAsked;
  HandOverOutcome v7 = HandOverOutcome::NotAsked;
};

bool IsKept(HandOverOutcome outcome);

// True when the event frame is acknowledged: no enabled link failed to keep the event.
bool ShouldAcknowledge(const HandOverOutcomes& outcomes);

// "object 40123, code 1130, zone 015": the event as the report lines name it.
std::string EventLabel(const DecodedEvent& event);

class EventAcknowledgement {
 public:
  using ReportError = std::function<void(const std::string& text)>;

  // `err` takes the lines of single frames; `report` is the program's error report.
  EventAcknowledgement(std::ostream& err, ReportError report);

  // After both hand-overs of `event`: true when its frame is acknowledged. Reports what is
  // withheld or lost.
  bool Decide(const DecodedEvent& event, const HandOverOutcomes& outcomes);

  // Whether events are being withheld since the last one that was kept.
  bool InOutage() const { return inOutage_; }

 private:
  void ReportWithheld(const std::string& label, const HandOverOutcomes& outcomes);

  std::ostream& err_;
  ReportError report_;
  bool inOutage_ = false;
  std::uint64_t withheld_ = 0;  // frames withheld in this outage
};

}  // namespace drvnt
