#pragma once
// The simulated V8 server: takes one connection at a time (a new one replaces the old), cuts the
// stream into packets, reports each one decoded and answers it as the responder decides, after
// the delay of the slow mode (every reply) or of the late mode (one reply). Replies go out in the
// order of the packets they answer: those behind a late one wait for it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "common/tcp_listen.h"
#include "common/v8_codec.h"
#include "common/v8_responder.h"

namespace drvnt::sim {

struct V8ServerOptions {
  V8ResponderOptions responder;
  int delayMs = 0;      // every reply waits this long (slow mode)
  int lateDelayMs = 0;  // a reply the responder marks late waits this long (late mode)
};

class V8Server {
 public:
  V8Server(Listener listener, const V8ServerOptions& options);

  void Run();  // until a stop is requested
  void PrintSummary() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Scheduled {
    Clock::time_point due;
    long answers;  // number of the packet it answers
    V8Reply reply;
  };

  int PollTimeoutMs() const;
  void Accept();
  void Drop(const char* reason);
  void ServeConnection();
  void TakePackets();
  void OnPacket(const V8Packet& packet);
  void ReportBadStream(V8StreamReader::Status status);
  void SendDueReplies();

  Listener listener_;
  V8ServerOptions options_;
  V8Responder responder_;
  UniqueFd conn_;
  long connId_ = 0;
  V8StreamReader reader_;
  std::deque<Scheduled> replies_;

  long packets_ = 0;
  long bad_ = 0;
  long acked_ = 0;
  long probes_ = 0;
  long orders_ = 0;
  long garbage_ = 0;
  long dups_ = 0;
  std::map<std::string, long> byType_;
  std::set<std::int64_t> sequences_;
  std::set<std::string> seenEvents_;
};

}  // namespace drvnt::sim
