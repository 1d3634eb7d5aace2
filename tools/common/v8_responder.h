#pragma once
// How the simulated V8 server answers each packet the driver sends, its fault modes included.
// Pure, so that the choice of reply is tested without sockets; the server loop only adds the
// delay of the slow mode and the writing.
//
// Plain replies: hello -> accepted (access denied in deny mode), event record -> event
// acknowledgement (a poll with no-ack), everything else -> poll. A probe replaces a plain poll
// reply every probeEvery packets; when that packet needs another reply, the probe goes with the
// next poll reply instead. drop, disconnect and garbage replace the reply to packet faultAt of a
// connection (of every connection, or of the first one only with faultOnce); late marks the reply
// to event record faultAt of a connection to go out late. flood sends floodCount packets nobody
// asked for (event acknowledgements, polls and probes with sequence numbers never sent) after every
// reply from the one to packet faultAt of a connection on. faultConnections limits every fault to
// the first N connections (faultOnce to the first one).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/v8_codec.h"

namespace drvnt::sim {

enum class V8Mode { kNormal, kSilent, kDeny, kDrop, kDisconnect, kSlow, kGarbage, kLate, kFlood };

std::optional<V8Mode> ParseV8Mode(std::string_view text);

// What garbage mode sends: a header with a wrong marker; 39 junk bytes; a transport header whose
// length is huge (2^31 - 1) or negative (-1); or the first 10 bytes of a reply and nothing more.
enum class V8Garbage { kHeader, kJunk, kHuge, kNegative, kCut };

std::optional<V8Garbage> ParseV8Garbage(std::string_view text);

struct V8ResponderOptions {
  V8Mode mode = V8Mode::kNormal;
  int faultAt = 1;
  bool faultOnce = false;
  int faultConnections = 0;  // the fault on the first N connections only; 0: on every one
  int probeEvery = 0;        // 0: never
  bool noAck = false;
  V8Garbage garbage = V8Garbage::kHeader;
  int floodCount = 100;  // flood mode: unasked packets after every reply
};

struct V8Reply {
  std::string name;  // type name, or "garbage"
  std::uint32_t type = 0;
  Bytes wire;
  bool late = false;  // late mode: to go out after the delay, the replies behind it waiting for it
  int unasked = 0;    // flood mode: packets nobody asked for behind the reply
};

class V8Responder {
 public:
  explicit V8Responder(V8ResponderOptions options) : options_(options) {}

  // A new connection: the fault count starts again.
  void NewConnection();
  // The reply to one packet; nothing in silent mode.
  std::optional<V8Reply> Answer(const V8Packet& packet);

 private:
  bool FaultyConnection() const;
  bool FaultHere() const;
  bool FloodHere() const;
  bool LateHere(const V8Packet& packet) const;
  std::uint32_t PlainReplyType(const V8Packet& packet) const;
  V8Reply Garbage() const;
  void AddFlood(V8Reply& reply);

  V8ResponderOptions options_;
  int connections_ = 0;
  int onConnection_ = 0;
  int eventsOnConnection_ = 0;
  long total_ = 0;
  bool probeDue_ = false;
  std::int64_t floodSequence_ = 1000000000;
};

}  // namespace drvnt::sim
