#include "app/v7_delivery_window.h"

#include <algorithm>

namespace drvnt {

bool V7DeliveryWindow::Contains(const std::string& path) const {
  return std::any_of(inFlight_.begin(), inFlight_.end(),
                     [&](const Message& m) { return m.path == path; });
}

void V7DeliveryWindow::Sent(const std::string& path, std::uint64_t streamEnd) {
  inFlight_.push_back({path, streamEnd});
}

void V7DeliveryWindow::Settle(std::uint64_t acknowledged) {
  while (!inFlight_.empty() && inFlight_.front().end <= acknowledged) {
    const std::string path = std::move(inFlight_.front().path);
    inFlight_.pop_front();
    delivered_(path);
  }
}

void V7DeliveryWindow::ConnectionEnded() {
  inFlight_.clear();
}

}  // namespace drvnt
