#include "v8link/send_queue.h"

#include "v8link/wire_codec.h"

namespace drvnt {
namespace {

int Next(int index) {
  return index + 1 == SendQueue::kSlots ? 0 : index + 1;
}

}  // namespace

bool SendQueue::Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
                        std::string spoolFile, bool helloSet) {
  std::lock_guard lock(mutex_);
  const std::int64_t sequence = sequence_++;
  if (full_)
    return false;
  QueuedPacket& slot = slots_[writeIndex_];
  slot.packet = v8::EncodePacket(type, sequence, body);
  slot.type = type;
  slot.spoolFile = std::move(spoolFile);
  slot.helloSet = helloSet;
  writeIndex_ = Next(writeIndex_);
  full_ = writeIndex_ == readIndex_;
  return true;
}

std::optional<QueuedPacket> SendQueue::Oldest() const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked())
    return std::nullopt;
  return slots_[readIndex_];
}

void SendQueue::RemoveOldest() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked())
    return;
  slots_[readIndex_] = QueuedPacket{};
  readIndex_ = Next(readIndex_);
  full_ = false;
}

void SendQueue::RemoveHelloSets() {
  std::lock_guard lock(mutex_);
  std::vector<QueuedPacket> kept;
  while (!EmptyLocked()) {
    if (!slots_[readIndex_].helloSet)
      kept.push_back(std::move(slots_[readIndex_]));
    slots_[readIndex_] = QueuedPacket{};
    readIndex_ = Next(readIndex_);
    full_ = false;
  }
  readIndex_ = writeIndex_ = 0;
  for (QueuedPacket& p : kept) {
    slots_[writeIndex_] = std::move(p);
    writeIndex_ = Next(writeIndex_);
  }
  full_ = kept.size() == kSlots;
}

std::vector<QueuedPacket> SendQueue::TakeAll() {
  std::lock_guard lock(mutex_);
  std::vector<QueuedPacket> out;
  while (!EmptyLocked()) {
    out.push_back(std::move(slots_[readIndex_]));
    slots_[readIndex_] = QueuedPacket{};
    readIndex_ = Next(readIndex_);
    full_ = false;
  }
  return out;
}

bool SendQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return EmptyLocked();
}

int SendQueue::Count() const {
  std::lock_guard lock(mutex_);
  if (full_)
    return kSlots;
  return (writeIndex_ - readIndex_ + kSlots) % kSlots;
}

std::int64_t SendQueue::NextSequence() const {
  std::lock_guard lock(mutex_);
  return sequence_;
}

}  // namespace drvnt
