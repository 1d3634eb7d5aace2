#include "receiver/event_record.h"

#include "core/bytes.h"

namespace drvnt {
namespace {

// Length byte and four character positions, zero after the last character.
void PutEventCode(std::uint8_t* p, const std::string& code) {
  PutShortString(p, 4, code);
}

}  // namespace

EventRecord BuildEventRecord(const DecodedEvent& e) {
  EventRecord r{};
  r[0] = kEventTag;
  PutU32(&r[1], static_cast<std::uint32_t>(e.ObjectNumber));
  PutEventCode(&r[5], e.EventCode);
  PutU16(&r[10], e.Zone);
  r[12] = e.HeaderNumber;
  r[13] = e.HeaderDigit;
  PutDouble(&r[14], e.Time);
  return r;
}

V7Message BuildEventMessage(const DecodedEvent& e, DateTime built) {
  V7Message m{};
  m[0] = 0xFF;
  m[1] = 0xFF;
  m[2] = 0x15;
  m[3] = 1;
  m[4] = kEventTag;
  PutU32(&m[5], static_cast<std::uint32_t>(e.ObjectNumber));
  // 9..12 stay 0
  PutEventCode(&m[13], e.EventCode);
  m[18] = e.HeaderNumber;
  m[19] = 0;
  m[20] = 1;
  m[21] = '8';
  m[22] = 3;
  m[23] = e.zoneText[0];
  m[24] = e.zoneText[1];
  m[25] = e.zoneText[2];
  m[26] = 3;
  m[27] = '0';
  m[28] = '0';
  m[29] = '0';
  PutDouble(&m[30], built);
  return m;
}

std::array<std::uint8_t, kDd8FileSize> BuildDd8File(const EventRecord& record) {
  std::array<std::uint8_t, kDd8FileSize> f{};
  PutU32(f.data(), kEventRecordType);
  std::copy(record.begin(), record.end(), f.begin() + 4);
  return f;
}

}  // namespace drvnt
