#pragma once
// Whether the V8 server named in section [ServerHost] can be tried at all. A port outside 1..65535
// or an address that is neither a dotted IPv4 address nor a host name reaches no server, however
// often the worker tries; left unsaid, the link would just stay down in silence. The worker says
// why once and again only when the reason changes, not at every attempt.
//
// Pure: it resolves no name and opens no socket.

#include <cstdint>
#include <optional>
#include <string>

namespace drvnt {

// Why `address` and `port` cannot be used, or empty when an attempt may be made.
std::string WhyServerHostUnusable(const std::string& address, std::int32_t port);

// Remembers the reason last reported, so that each reason is reported once.
class ServerHostProblem {
 public:
  // The line to report for `why` (empty: usable), or nothing when it was reported last time or
  // there is nothing to report. A usable setting forgets the last reason.
  std::optional<std::string> Report(const std::string& why);

 private:
  std::string last_;
};

}  // namespace drvnt
