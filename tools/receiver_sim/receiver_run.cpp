#include "receiver_sim/receiver_run.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "common/line_out.h"
#include "common/stop_signal.h"

namespace drvnt::sim {
namespace {

// 10 bit times at 2400 bit/s: start bit, 8 data bits, stop bit.
constexpr std::chrono::nanoseconds kByteTime{10 * 1000000000LL / 2400};

Fields With(Fields head, const Fields& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

}  // namespace

ReceiverRun::ReceiverRun(SerialLine& line, const ReceiverOptions& options)
    : line_(line), options_(options), rng_(options.seed) {}

bool ReceiverRun::Start() {
  waitingOpen_ = options_.waitOpen;
  while (waitingOpen_ && !opened_) {
    if (!PumpFor(1000))
      return false;
  }
  waitingOpen_ = false;
  return PumpFor(options_.startDelayMs);
}

bool ReceiverRun::RunScenario(const std::vector<ScenarioItem>& items) {
  for (const ScenarioItem& item : items) {
    if (!Perform(item))
      return false;
  }
  return true;
}

bool ReceiverRun::RunMix() {
  for (long i = 0; options_.count == 0 || i < options_.count; ++i) {
    if (i > 0 && !PumpFor(options_.intervalMs))
      return false;
    if (!Perform(MixEvent(rng_)))
      return false;
  }
  return true;
}

void ReceiverRun::HoldUntilStopped() {
  while (PumpFor(1000)) {
  }
}

void ReceiverRun::PrintSummary() const {
  Emit("summary", {{"sent", std::to_string(frames_)},
                   {"acked", std::to_string(ackedCount_)},
                   {"lost", std::to_string(lost_)},
                   {"retries", std::to_string(retriesDone_)},
                   {"stray", std::to_string(stray_)},
                   {"unexpected", std::to_string(unexpected_)},
                   {"data_bytes", std::to_string(dataBytes_)}});
}

bool ReceiverRun::Perform(const ScenarioItem& item) {
  using Kind = ScenarioItem::Kind;
  switch (item.kind) {
    case Kind::kEvent: {
      Fields d = With({{"kind", "event"}}, DescribeEvent(item.event));
      if (!item.what.empty())
        d.push_back({"what", item.what});
      return SendFrame(item, d);
    }
    case Kind::kCut:
      return SendFrame(item, With({{"kind", "cut"}, {"at", std::to_string(item.number)}},
                                  DescribeEvent(item.event)));
    case Kind::kGlued:
      return SendFrame(item, With({{"kind", "glued"}, {"noise", std::to_string(item.number)}},
                                  DescribeEvent(item.event)));
    case Kind::kHeartbeat:
      return SendFrame(item, {{"kind", "heartbeat"}});
    case Kind::kRaw:
      // Only a terminated run of bytes is a frame that the driver acknowledges.
      if (item.raw.empty() || item.raw.back() != kFrameTerminator) {
        return SendData("raw", item.raw);
      }
      return SendFrame(item, {{"kind", "raw"}, {"hex", ToHex(item.raw)}});
    case Kind::kNoise:
      return SendData("noise", NoiseBytes(rng_, item.number));
    case Kind::kWait:
      return PumpFor(item.number);
  }
  return true;
}

bool ReceiverRun::SendFrame(const ScenarioItem& item, Fields description) {
  const long n = ++frames_;
  const Fields id = {{"n", std::to_string(n)}};
  for (int attempt = 1; attempt <= options_.retries + 1; ++attempt) {
    if (!Transmit(item))
      return false;
    Emit("sent", With(With(id, {{"try", std::to_string(attempt)}}), description));
    awaiting_ = true;
    acked_ = false;
    awaitedFrame_ = n;
    const bool going = PumpUntil(lastByteAt_ + std::chrono::milliseconds(options_.ackTimeoutMs));
    awaiting_ = false;
    if (!going)
      return false;
    if (acked_)
      return true;
    if (attempt <= options_.retries) {
      ++retriesDone_;
      Emit("noack", With(id, {{"retry", std::to_string(attempt)}}));
    }
  }
  ++lost_;
  Emit("lost", id);
  return true;
}

bool ReceiverRun::Transmit(const ScenarioItem& item) {
  switch (item.kind) {
    case ScenarioItem::Kind::kCut: {
      const Bytes frame = BuildEventFrame(item.event);
      const auto at = frame.begin() + item.number;
      return WriteBytes(Bytes(frame.begin(), at)) && PumpFor(item.pauseMs) &&
             WriteBytes(Bytes(at, frame.end()));
    }
    case ScenarioItem::Kind::kGlued:
      return WriteBytes(BuildGluedFrame(rng_, item.number, item.event));
    case ScenarioItem::Kind::kHeartbeat:
      return WriteBytes(BuildHeartbeatFrame());
    case ScenarioItem::Kind::kRaw:
      return WriteBytes(item.raw);
    default:
      return WriteBytes(BuildEventFrame(item.event));
  }
}

bool ReceiverRun::SendData(const char* kind, const Bytes& bytes) {
  if (!WriteBytes(bytes))
    return false;
  dataBytes_ += static_cast<long>(bytes.size());
  Emit("data", {{"kind", kind}, {"bytes", std::to_string(bytes.size())}});
  return true;
}

bool ReceiverRun::Write(const std::uint8_t* data, std::size_t size) {
  if (line_.WriteAll(data, size))
    return true;
  if (!StopSignal::Requested()) {
    lineFailed_ = true;
    Emit("error", {{"reason", "write-failed"}});
  }
  return false;
}

// Paced bytes are due at fixed times from the first one, so serving the line in between does not
// make the frame drift longer.
bool ReceiverRun::WriteBytes(const Bytes& bytes) {
  if (options_.burst) {
    if (!Write(bytes.data(), bytes.size()))
      return false;
  } else {
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0 && !PumpUntil(start + kByteTime * static_cast<long>(i)))
        return false;
      if (!Write(&bytes[i], 1))
        return false;
    }
  }
  lastByteAt_ = Clock::now();
  return true;
}

bool ReceiverRun::PumpUntil(Clock::time_point deadline) {
  while (!StopSignal::Requested() && !lineFailed_ && !WaitOver()) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
      break;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec timeout{static_cast<time_t>(ns / 1000000000),
                           static_cast<long>(ns % 1000000000)};
    pollfd p[3] = {
        {StopSignal::Fd(), POLLIN, 0}, {line_.Fd(), POLLIN, 0}, {line_.WatchFd(), POLLIN, 0}};
    const int nfds = line_.WatchFd() >= 0 ? 3 : 2;
    if (ppoll(p, static_cast<nfds_t>(nfds), &timeout, nullptr) < 0 && errno != EINTR) {
      lineFailed_ = true;
      break;
    }
    if (p[1].revents != 0)
      ServeInput();
    if (nfds == 3 && p[2].revents != 0)
      ServePortEvents();
  }
  return !StopSignal::Requested() && !lineFailed_;
}

void ReceiverRun::ServeInput() {
  std::uint8_t buf[256];
  const long n = line_.Read(buf, sizeof buf);
  if (n < 0) {
    lineFailed_ = true;
    Emit("error", {{"reason", "read-failed"}});
  }
  for (long i = 0; i < n; ++i) {
    OnByte(buf[i]);
  }
}

void ReceiverRun::ServePortEvents() {
  for (auto e = line_.ReadPortEvent(); e != SerialLine::PortEvent::kNone;
       e = line_.ReadPortEvent()) {
    const bool open = e == SerialLine::PortEvent::kOpened;
    opened_ = opened_ || open;
    Emit("port", {{"event", open ? "open" : "close"}});
  }
}

void ReceiverRun::OnByte(std::uint8_t byte) {
  if (byte != kFrameAck) {
    ++unexpected_;
    Emit("unexpected", {{"hex", ToHex(&byte, 1)}});
  } else if (awaiting_ && !acked_) {
    acked_ = true;
    ++ackedCount_;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastByteAt_);
    Emit("ack", {{"n", std::to_string(awaitedFrame_)}, {"after_ms", std::to_string(ms.count())}});
  } else {
    ++stray_;
    Emit("stray", {{"after_n", std::to_string(frames_)}});
  }
}

}  // namespace drvnt::sim
