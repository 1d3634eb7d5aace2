// The service timer's spool jobs against a damaged spool directory: files that cannot be read,
// set aside or deleted, .dd8 files that hold no event record, and a .dd8 file the V8 server never
// acknowledges. A tick must stay short and every good file must still go, once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>
#include <stdexcept>

#include "engine_fixture.h"
#include "support/run_until.h"

namespace drvnt::testing {
namespace {

// The real spool directory, with failures where a test asks for them: what a read-only file
// system, a damaged disk or another owner's file gives. The listing may be made to yield one file
// first, as a real one may. A search repeated without end fails the test instead of hanging it.
class FaultySpoolDir final : public SpoolDir {
 public:
  std::set<std::string> unreadable, noSetAside, noRemove;
  std::string yieldedFirst;
  std::map<std::string, int> reads;
  int searches = 0;

  std::optional<FileError> WriteAtomically(const std::string& path,
                                           std::span<const std::uint8_t> data) override {
    return real_.WriteAtomically(path, data);
  }
  bool Exists(const std::string& path) override { return real_.Exists(path); }
  std::optional<std::string> FindFirst(const std::string& prefix, const std::string& namePattern,
                                       const SkipFile& skip) override {
    if (++searches > 1000)
      throw std::runtime_error("the spool search goes on without end");
    const bool first = !yieldedFirst.empty() && real_.Exists(yieldedFirst) &&
                       yieldedFirst.ends_with(namePattern.substr(1)) &&
                       !(skip && skip(yieldedFirst));
    return first ? yieldedFirst : real_.FindFirst(prefix, namePattern, skip);
  }
  std::optional<std::vector<std::uint8_t>> Read(const std::string& path, std::size_t maxBytes,
                                                FileError* error) override {
    ++reads[path];
    if (unreadable.contains(path)) {
      if (error)
        error->text = "Input/output error";
      return std::nullopt;
    }
    return real_.Read(path, maxBytes, error);
  }
  bool Remove(const std::string& path) override {
    return !noRemove.contains(path) && real_.Remove(path);
  }
  std::optional<FileError> SetAside(const std::string& path) override {
    if (noSetAside.contains(path))
      return FileError{"Read-only file system"};
    return real_.SetAside(path);
  }

 private:
  SpoolDir& real_ = SystemSpoolDir();
};

// A V7 server that only listens: the kernel takes the connection and what is sent on it.
class ListeningV7Server {
 public:
  static constexpr const char* kAddress = "127.0.0.211";
  ListeningV7Server() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kV7Port);
    ::inet_pton(AF_INET, kAddress, &a.sin_addr);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 4) == 0;
  }
  ~ListeningV7Server() { ::close(fd_); }
  bool Ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

std::vector<std::uint8_t> Dd8File(std::uint8_t marker, std::uint32_t type = kEventRecordType) {
  std::vector<std::uint8_t> f(26, 0);
  PutU32(f.data(), type);
  f[4] = kEventTag;
  f[5] = marker;
  return f;
}

class SpoolJobsTest : public EngineTest {
 protected:
  SpoolJobsTest() { spoolDir_ = &faulty_; }

  Driver& Started(const std::string& extraMain = "") {
    std::filesystem::create_directory(dir_ + "/spool");
    WriteIni("[main]\nPathForSoob=" + dir_ + "/spool/\n" + extraMain);
    Driver& d = MakeDriver();
    d.Start();
    if (v8_)
      v8_->connected = true;
    return d;
  }

  std::string Spool(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = dir_ + "/spool/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
  }

  // One tick of the service timer; the spool work it did is bounded.
  // A tick of the service timer; by then the worker's exchange of what it was handed is over.
  void Tick(int ms = 200) {
    clock_.AdvanceMs(static_cast<std::uint32_t>(ms));
    for (const auto& packet : v8_ ? v8_->queued : std::vector<FakeV8Worker::Packet>{})
      driver_->HandOver().ReleaseQueued(packet.spoolFile);
    faulty_.searches = 0;
    driver_->Timer2Timer();
    EXPECT_LE(faulty_.searches, kSpoolFilesPerTick + 2);
  }

  // What the V8 worker does on the event acknowledgement of the file handed over last.
  void Acknowledge() {
    const std::string path = v8_->queued.back().spoolFile;
    if (faulty_.Exists(path) && !faulty_.Remove(path))
      driver_->HandOver().ReportUndeletedDd8File(path);
    driver_->HandOver().LetNextDd8GoAtOnce();
  }

  std::vector<int> MarkersHandedOver() const {
    std::vector<int> out;
    for (const auto& p : v8_->queued)
      out.push_back(p.body[1]);
    return out;
  }

  FaultySpoolDir faulty_;
};

// A file that can neither be read nor set aside (a read-only file system) used to be found again
// and again within one tick, for ever: no more polling, no acknowledgements. It is passed over
// from then on, reported once, and the file behind it goes.
TEST_F(SpoolJobsTest, Dd8FileThatCannotBeUsedNorSetAsideIsPassedOver) {
  Started();
  const std::string junk = Spool("0A.dd8", Dd8File(1));
  faulty_.unreadable.insert(junk);
  faulty_.noSetAside.insert(junk);
  faulty_.yieldedFirst = junk;
  Spool("0B.dd8", Dd8File(2));

  Tick();
  EXPECT_EQ(MarkersHandedOver(), (std::vector<int>{2}));
  Acknowledge();
  for (int i = 0; i < 20; ++i)
    Tick(3200);
  EXPECT_EQ(MarkersHandedOver(), (std::vector<int>{2}));
  EXPECT_EQ(faulty_.reads[junk], 1);
  ASSERT_EQ(ui_.errors.size(), 1u);
  EXPECT_NE(ui_.errors[0].find(junk), std::string::npos) << ui_.errors[0];
  EXPECT_NE(ui_.errors[0].find("Read-only file system"), std::string::npos) << ui_.errors[0];
  EXPECT_TRUE(std::filesystem::exists(junk));
}

// The driver writes only 26-byte files of the event record type; anything else in the spool
// directory (junk, a file copied in by hand) is set aside at once with one line, never sent.
TEST_F(SpoolJobsTest, Dd8FileThatIsNoEventRecordIsSetAsideAtOnce) {
  Started();
  auto longer = Dd8File(3);
  longer.push_back(0);
  auto shorter = Dd8File(4);
  shorter.pop_back();
  const std::vector<std::string> junk = {Spool("01.dd8", Dd8File(1, 0x12345678)),
                                         Spool("02.dd8", longer), Spool("03.dd8", shorter),
                                         Spool("04.dd8", {})};
  faulty_.yieldedFirst = junk[0];
  Spool("05.dd8", Dd8File(5));

  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    Tick(3200);
    if (!v8_->queued.empty() && std::filesystem::exists(v8_->queued.back().spoolFile))
      Acknowledge();
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(MarkersHandedOver(), (std::vector<int>{5}));
  for (const std::string& path : junk) {
    EXPECT_TRUE(std::filesystem::exists(path + ".bad")) << path;
    const auto line = err.find(path + " (");
    EXPECT_NE(line, std::string::npos) << path << "\n" << err;
    EXPECT_EQ(err.find(path + " (", line + 1), std::string::npos) << path << "\n" << err;
  }
  EXPECT_NE(err.find("record type 0x12345678"), std::string::npos) << err;
  EXPECT_TRUE(ui_.errors.empty());
}

// A file the server never acknowledges is handed over a few times, then the files behind it go
// first; once they are gone it is handed over again, never given up.
TEST_F(SpoolJobsTest, UnacknowledgedDd8FileDoesNotHoldBackTheOthers) {
  Started();
  const std::string stuck = Spool("00.dd8", Dd8File(0));
  faulty_.yieldedFirst = stuck;
  for (std::uint8_t i = 1; i <= 7; ++i)
    Spool("0" + std::to_string(i) + ".dd8", Dd8File(i));

  // 25 s of ticks; the server acknowledges every record but the stuck one.
  for (int elapsed = 0; elapsed < 25000; elapsed += 200) {
    Tick();
    if (!v8_->queued.empty() && v8_->queued.back().spoolFile != stuck &&
        std::filesystem::exists(v8_->queued.back().spoolFile))
      Acknowledge();
  }
  std::vector<int> markers = MarkersHandedOver();
  const auto stuckHandOvers = std::count(markers.begin(), markers.end(), 0);
  markers.erase(std::remove(markers.begin(), markers.end(), 0), markers.end());
  std::sort(markers.begin(), markers.end());
  EXPECT_EQ(markers, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_GE(stuckHandOvers, kDd8HandOversBeforeMovingOn + 1);  // it came back
  EXPECT_TRUE(std::filesystem::exists(stuck));
  ASSERT_GT(v8_->queued.size(), static_cast<std::size_t>(kDd8HandOversBeforeMovingOn));
  EXPECT_NE(v8_->queued[kDd8HandOversBeforeMovingOn].body[1], 0);
}

// A record the server acknowledged whose file cannot be deleted was handed over again at once,
// five times a second. It is delivered: it does not go again, and the next file goes.
TEST_F(SpoolJobsTest, AcknowledgedDd8FileThatCannotBeDeletedIsNotSentAgain) {
  Started();
  const std::string kept = Spool("0A.dd8", Dd8File(1));
  faulty_.noRemove.insert(kept);
  faulty_.yieldedFirst = kept;
  Spool("0B.dd8", Dd8File(2));

  Tick();
  Acknowledge();
  for (int i = 0; i < 10; ++i) {
    Tick();
    if (std::filesystem::exists(v8_->queued.back().spoolFile) &&
        v8_->queued.back().spoolFile != kept)
      Acknowledge();
  }
  EXPECT_EQ(MarkersHandedOver(), (std::vector<int>{1, 2}));
  ASSERT_EQ(ui_.errors.size(), 1u);
  EXPECT_NE(ui_.errors[0].find(kept), std::string::npos) << ui_.errors[0];
}

// The same for .ddk files: one that cannot be read nor set aside is passed over, one that was
// sent but cannot be deleted is not sent again; each is reported once and the others go.
TEST_F(SpoolJobsTest, DdkFilesThatCannotBeUsedOrDeletedArePassedOver) {
  ListeningV7Server server;
  ASSERT_TRUE(server.Ok());
  Driver& d =
      Started("SendV7=1\nSendV8=0\nhost=" + std::string(ListeningV7Server::kAddress) + "\n");
  ASSERT_TRUE(RunUntil([&] { return d.V7Connected(); }));
  std::vector<std::uint8_t> message(555, 0);
  message[0] = message[1] = 0xFF;
  message[2] = 0x15;
  const std::string unreadable = Spool("0A.ddk", message);
  faulty_.unreadable.insert(unreadable);
  faulty_.noSetAside.insert(unreadable);
  faulty_.yieldedFirst = unreadable;
  const std::string undeletable = Spool("0B.ddk", message);
  faulty_.noRemove.insert(undeletable);
  const std::string good = Spool("0C.ddk", message);

  for (int i = 0; i < 10; ++i)
    Tick();
  EXPECT_EQ(faulty_.reads[unreadable], 1);
  EXPECT_EQ(faulty_.reads[undeletable], 1);
  EXPECT_EQ(faulty_.reads[good], 1);
  EXPECT_FALSE(std::filesystem::exists(good));
  ASSERT_EQ(ui_.errors.size(), 2u);
  EXPECT_NE(ui_.errors[0].find(unreadable), std::string::npos) << ui_.errors[0];
  EXPECT_NE(ui_.errors[1].find(undeletable), std::string::npos) << ui_.errors[1];
}

// A crash or a power loss between writing a spool file and renaming it into place leaves a
// temporary file that is never sent: start-up lists each one on standard error, once.
TEST_F(SpoolJobsTest, LeftoverTemporaryFilesAreListedAtStart) {
  std::filesystem::create_directory(dir_ + "/spool");
  const std::string dd8 = Spool("5265C00.dd8.tmp", Dd8File(1));
  const std::string ddk = Spool("5265C01_-1.ddk.tmp", {});
  Spool("5265C02.dd8", Dd8File(2));
  ::testing::internal::CaptureStderr();
  Started();
  Tick();
  const std::string err = ::testing::internal::GetCapturedStderr();
  for (const std::string& path : {dd8, ddk}) {
    const auto at = err.find(path);
    EXPECT_NE(at, std::string::npos) << path << "\n" << err;
    EXPECT_EQ(err.find(path, at + 1), std::string::npos) << path << "\n" << err;
  }
  EXPECT_EQ(err.find("5265C02.dd8"), std::string::npos) << err;
}

}  // namespace
}  // namespace drvnt::testing
