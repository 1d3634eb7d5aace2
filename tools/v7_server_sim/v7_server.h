#pragma once
// The simulated message server of the V7 link: takes one connection at a time (a new one replaces
// the old, as a restarted server would), cuts what arrives into 555-byte messages and reports each
// one decoded; sends the time message and the close command when told so on standard input or by
// the scripted options. It never answers a message on its own: the link has no acknowledgements.

#include <chrono>
#include <map>
#include <set>
#include <string>

#include "common/local_time.h"
#include "common/tcp_listen.h"

namespace drvnt::sim {

// How the server misbehaves, as real ones do under load or during a restart.
enum class V7Fault {
  kNone,
  kNeverRead,        // accepts and never reads: the driver's socket fills up
  kCloseAfterEvent,  // closes the connection in order right after each event message
  kFlood,            // sends junk (no message marker) as fast as the driver takes it
};

struct V7ServerOptions {
  long sendTimeAfterMs = -1;  // -1: never; else once per connection, this long after it began
  bool fixedTime = false;     // the scripted time message carries `time` instead of now
  DateTime time = 0;
  long closeAfterEvents = 0;  // 0: never; else once, when the total of events reaches it
  V7Fault fault = V7Fault::kNone;
};

class V7Server {
 public:
  V7Server(Listener listener, const V7ServerOptions& options);

  void Run();  // until a stop is requested
  void PrintSummary() const;

 private:
  using Clock = std::chrono::steady_clock;

  int PollTimeoutMs() const;
  short ConnectionEvents() const;
  void Flood();
  void Accept();
  void Drop(const char* reason, bool reset = false);
  void ServeConnection();
  void OnMessage(const std::uint8_t* piece);
  void ServeCommands();
  void HandleCommand(const std::string& line);
  void ServeTimer();
  [[noreturn]] void Die();
  bool Send(const Bytes& message, const char* type, const std::string& time);

  Listener listener_;
  V7ServerOptions options_;
  UniqueFd conn_;
  long connId_ = 0;
  Bytes pending_;  // received bytes short of a whole message
  std::string commandText_;
  bool stdinOpen_ = true;
  bool timeDue_ = false;
  Clock::time_point timeAt_{};
  bool closeSent_ = false;

  long messages_ = 0;
  long events_ = 0;
  long dups_ = 0;
  long sentTime_ = 0;
  long sentClose_ = 0;
  long long flooded_ = 0;
  std::map<std::string, long> byType_;
  std::set<std::string> seenEvents_;
};

}  // namespace drvnt::sim
