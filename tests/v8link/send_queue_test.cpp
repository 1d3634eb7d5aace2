#include "v8link/send_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/bytes.h"

namespace drvnt {
namespace {

constexpr std::uint32_t kEventRecordType = 0x03000032;

std::int64_t SequenceOf(const QueuedPacket& p) {
  return static_cast<std::int64_t>(GetU64(&p.packet[9]));
}

TEST(V8SendQueue, RingKeepsOrderAcrossTheWrapAndRefusesWhenFull) {
  SendQueue q;
  EXPECT_TRUE(q.Empty());
  EXPECT_FALSE(q.Oldest());
  for (int i = 0; i < SendQueue::kSlots; ++i) {
    ASSERT_TRUE(q.Enqueue(kEventRecordType, Bytes{static_cast<std::uint8_t>(i)}, {}));
  }
  EXPECT_EQ(q.Count(), 100);
  EXPECT_FALSE(q.Enqueue(kEventRecordType, Bytes{0xEE}, {}));
  EXPECT_EQ(q.NextSequence(), 101);  // the refused packet used up its number

  // Oldest is a copy: the packet stays until it is removed.
  EXPECT_EQ(SequenceOf(*q.Oldest()), 0);
  EXPECT_EQ(SequenceOf(*q.Oldest()), 0);
  q.RemoveOldest();
  EXPECT_EQ(q.Count(), 99);
  ASSERT_TRUE(q.Enqueue(kEventRecordType, Bytes{0xAA}, "spool/1.dd8"));  // into slot 0 again
  EXPECT_EQ(q.Count(), 100);

  std::vector<std::int64_t> sequences;
  QueuedPacket last;
  while (const auto p = q.Oldest()) {
    sequences.push_back(SequenceOf(*p));
    last = *p;
    q.RemoveOldest();
  }
  ASSERT_EQ(sequences.size(), 100u);
  for (std::size_t i = 0; i < 99; ++i)
    EXPECT_EQ(sequences[i], static_cast<std::int64_t>(i + 1));
  EXPECT_EQ(sequences[99], 101);
  EXPECT_EQ(last.spoolFile, "spool/1.dd8");
  EXPECT_EQ(last.type, kEventRecordType);
  EXPECT_EQ(last.packet.back(), 0xAA);
  EXPECT_TRUE(q.Empty());
  q.RemoveOldest();  // removing from an empty queue changes nothing
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.Count(), 0);
}

// What is left of an earlier connection's hello set goes; everything else keeps its order, also
// across the wrap of the ring and in a full queue.
TEST(V8SendQueue, RemovingHelloSetsKeepsTheRestInOrder) {
  SendQueue q;
  for (int i = 0; i < 60; ++i) {
    q.Enqueue(kEventRecordType, Bytes{0}, {});
    q.RemoveOldest();
  }
  for (int i = 0; i < SendQueue::kSlots; ++i)
    ASSERT_TRUE(q.Enqueue(kEventRecordType, Bytes{static_cast<std::uint8_t>(i)}, {}, i % 3 == 1));
  q.RemoveHelloSets();
  EXPECT_EQ(q.Count(), 67);
  EXPECT_TRUE(q.Enqueue(kEventRecordType, Bytes{0xEE}, {}));
  std::vector<int> bodies;
  while (const auto p = q.Oldest()) {
    bodies.push_back(p->packet.back());
    q.RemoveOldest();
  }
  std::vector<int> expected;
  for (int i = 0; i < SendQueue::kSlots; ++i) {
    if (i % 3 != 1)
      expected.push_back(i);
  }
  expected.push_back(0xEE);
  EXPECT_EQ(bodies, expected);

  for (int i = 0; i < SendQueue::kSlots; ++i)
    ASSERT_TRUE(q.Enqueue(kEventRecordType, Bytes{1}, {}));
  q.RemoveHelloSets();  // nothing to remove: still full
  EXPECT_EQ(q.Count(), SendQueue::kSlots);
  EXPECT_FALSE(q.Enqueue(kEventRecordType, Bytes{2}, {}));
}

// A sequence number and a place in the queue are taken together: whatever the threads, the queue
// holds the numbers in rising order without gaps.
TEST(V8SendQueue, ConcurrentEnqueuesKeepNumbersInQueueOrder) {
  SendQueue q;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&q] {
      for (int i = 0; i < 25; ++i)
        q.Enqueue(kEventRecordType, Bytes(22, 0), {});
    });
  }
  for (std::thread& t : threads)
    t.join();
  for (std::int64_t expected = 0; expected < 100; ++expected) {
    ASSERT_EQ(SequenceOf(*q.Oldest()), expected);
    q.RemoveOldest();
  }
}

}  // namespace
}  // namespace drvnt
