// The main thread's host-name lookup: a HostLookup whose end the event loop reports.

#include "platform/host_lookup.h"

#include <utility>

namespace drvnt {

AsyncHostResolver::AsyncHostResolver(EventLoop& loop, sock::HostResolver lookup)
    : loop_(loop), lookup_(std::move(lookup)) {
  timer_ = loop_.CreateTimer([this] { OnTimeout(); });
}

AsyncHostResolver::~AsyncHostResolver() = default;

void AsyncHostResolver::Resolve(const std::string& host, Answer answer) {
  Cancel();
  if (!lookup_.Begin(host)) {
    answer(std::nullopt);
    return;
  }
  answer_ = std::move(answer);
  if (!watch_) {
    watch_ = loop_.WatchSocket(
        lookup_.ReadyDescriptor(), [this] { OnReady(); }, [] {});
    // The descriptor can always be written; only its readiness to be read means anything.
    watch_->SetWriteEnabled(false);
  }
  watch_->SetReadEnabled(true);
  if (TimeoutMs > 0)
    timer_->Start(TimeoutMs);
}

void AsyncHostResolver::Cancel() {
  answer_ = nullptr;
  timer_->Stop();
}

void AsyncHostResolver::OnReady() {
  lookup_.ClearReady();
  const auto answer = lookup_.TakeAnswer();
  // The end of a lookup given up on earlier: nobody waits for it.
  if (!answer || !answer_)
    return;
  Deliver(*answer);
}

void AsyncHostResolver::OnTimeout() {
  if (answer_)
    Deliver(std::nullopt);
  timer_->Stop();
}

void AsyncHostResolver::Deliver(std::optional<std::uint32_t> address) {
  timer_->Stop();
  const Answer answer = std::exchange(answer_, nullptr);
  answer(address);
}

}  // namespace drvnt
