#include "v7link/v7_messages.h"

#include <gtest/gtest.h>

#include <vector>

namespace drvnt {
namespace {

std::vector<std::uint8_t> Message(std::uint8_t type, std::uint8_t first = 0xFF) {
  std::vector<std::uint8_t> m(555, 0);
  m[0] = first;
  m[1] = 0xFF;
  m[2] = type;
  m[3] = type;  // marks which message it was
  return m;
}

TEST(V7Messages, Layouts) {
  const auto greeting = GreetingMessage();
  EXPECT_EQ((std::vector<std::uint8_t>(greeting.begin(), greeting.begin() + 4)),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0x14, 9}));
  const auto port = PortStatusMessage(44);
  EXPECT_EQ(port[2], 0x32);
  EXPECT_EQ(port[3], 44);
  const auto lost = StatusMessage('H');
  EXPECT_EQ((std::vector<std::uint8_t>(lost.begin(), lost.begin() + 9)),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 'H', 0, 0, 9, 0, 0, 0}));
  for (const auto* m : {&greeting, &port, &lost}) {
    EXPECT_TRUE(std::all_of(m->begin() + 9, m->end(), [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(V7Messages, PortNumberFromTheDeviceName) {
  EXPECT_EQ(PortNumberOfDevice("\\\\.\\COM3"), 3);
  EXPECT_EQ(PortNumberOfDevice("\\\\.\\COM300").value() & 0xFF, 44);
  EXPECT_EQ(PortNumberOfDevice("\\\\.\\COMx"), std::nullopt);
  EXPECT_EQ(PortNumberOfDevice("\\\\.\\COM"), std::nullopt);
  EXPECT_EQ(PortNumberOfDevice("COM"), std::nullopt);
  // Read from decimal only: what the INI integer rule would also take is no port number here.
  for (const char* name :
       {"\\\\.\\COM0x10", "\\\\.\\COM$10", "\\\\.\\COM 3", "\\\\.\\COM+3", "\\\\.\\COM99999999999"})
    EXPECT_EQ(PortNumberOfDevice(name), std::nullopt) << name;
}

struct Taken {
  std::vector<std::uint8_t> types;
  void operator()(std::span<const std::uint8_t, kV7Size> p) { types.push_back(p[3]); }
};

TEST(V7Framing, WholeMessagesOnlyAndInOrder) {
  MemoryStream buffer;
  Taken taken;
  auto callback = [&](std::span<const std::uint8_t, kV7Size> p) { taken(p); };

  auto two = Message(1);
  const auto second = Message(2);
  two.insert(two.end(), second.begin(), second.end());
  TakeV7Pieces(buffer, two, callback);
  EXPECT_EQ(taken.types, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(buffer.Size(), 0u);

  const auto m = Message(3);
  TakeV7Pieces(buffer, std::span(m).first(300), callback);
  EXPECT_EQ(taken.types.size(), 2u);
  TakeV7Pieces(buffer, std::span(m).subspan(300), callback);
  EXPECT_EQ(taken.types, (std::vector<std::uint8_t>{1, 2, 3}));

  TakeV7Pieces(buffer, std::span(m).first(554), callback);
  EXPECT_EQ(taken.types.size(), 3u);
  EXPECT_EQ(buffer.Size(), 554u);
}

TEST(V7Framing, AHandlerThatFailsNeverMakesAPieceCountTwice) {
  MemoryStream buffer;
  std::vector<std::uint8_t> seen;
  auto three = Message(1);
  for (std::uint8_t t : {2, 3}) {
    const auto m = Message(t);
    three.insert(three.end(), m.begin(), m.end());
  }
  auto failing = [&](std::span<const std::uint8_t, kV7Size> p) {
    seen.push_back(p[3]);
    if (p[3] == 2)
      throw std::runtime_error("handler failed");
  };
  EXPECT_THROW(TakeV7Pieces(buffer, three, failing), std::runtime_error);
  TakeV7Pieces(buffer, {}, failing);
  EXPECT_EQ(seen, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(buffer.Size(), 0u);
}

TEST(V7Framing, MarkerCheck) {
  EXPECT_TRUE(HasV7Marker(Message(4)));
  EXPECT_FALSE(HasV7Marker(Message(4, 0xFE)));
}

}  // namespace
}  // namespace drvnt
