#pragma once
// Host-name lookups on a thread of their own, so that whoever needs an address waits on a name
// server only as long as it chooses.
//
// The system's resolver cannot be interrupted: a lookup that its caller gave up on runs on until
// the resolver returns, and until then no other lookup starts, so that a name server that never
// answers cannot pile up threads. A caller that asks again for the same host while that lookup
// runs is given its answer instead. The thread owns what it uses, so the lookup may be destroyed
// while its thread still runs; a lookup function passed in must then stay callable that long.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/event_loop.h"
#include "platform/socket_shim.h"

namespace drvnt {

class HostLookup {
 public:
  using Clock = std::chrono::steady_clock;

  // `lookup` is the blocking resolver, run on the lookup's thread.
  explicit HostLookup(sock::HostResolver lookup = sock::LookupHostIPv4);
  // Never waits for a running lookup.
  ~HostLookup();
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  // Starts looking `host` up, or goes on with the running lookup of the same host. False when
  // another host is still being looked up, or no thread could be started.
  bool Begin(const std::string& host);

  // The answer of the lookup begun last, once it is there (taking it); nothing while it runs.
  // The inner value is empty when the name did not resolve.
  std::optional<std::optional<std::uint32_t>> TakeAnswer();

  // Waits for the answer until `deadline`, looking at `stop` every few milliseconds; nothing when
  // the deadline passed or `stop` said so first.
  std::optional<std::optional<std::uint32_t>> WaitForAnswer(Clock::time_point deadline,
                                                            const std::function<bool()>& stop);

  // A descriptor that turns readable when a lookup has ended; ClearReady() makes it quiet again.
  int ReadyDescriptor() const;
  void ClearReady();

 private:
  struct State;
  sock::HostResolver lookup_;
  std::shared_ptr<State> state_;
};

// A host-name lookup for the main thread: the answer comes back through the event loop, never
// inside a wait. A lookup that takes longer than `TimeoutMs` counts as failed (0: no bound but the
// resolver's own).
class AsyncHostResolver {
 public:
  static constexpr std::uint32_t kDefaultTimeoutMs = 10000;
  using Answer = std::function<void(std::optional<std::uint32_t> address)>;

  AsyncHostResolver(EventLoop& loop, sock::HostResolver lookup);
  ~AsyncHostResolver();

  std::uint32_t TimeoutMs = kDefaultTimeoutMs;

  // Looks `host` up; `answer` runs once, later, on the main thread: with the address, or with
  // nothing when the name did not resolve in time. When another host's lookup still runs it runs
  // at once with nothing. A new request or Cancel() drops the answer of the one before.
  void Resolve(const std::string& host, Answer answer);
  void Cancel();

 private:
  void OnReady();
  void OnTimeout();
  void Deliver(std::optional<std::uint32_t> address);

  EventLoop& loop_;
  HostLookup lookup_;
  std::unique_ptr<SocketWatch> watch_;
  std::unique_ptr<Timer> timer_;
  Answer answer_;
};

}  // namespace drvnt
