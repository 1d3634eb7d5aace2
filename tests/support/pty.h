#pragma once
// A pseudo-terminal for tests of the serial port: the test plays the receiver on the master side,
// the code under test opens the slave device by its path.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace drvnt::testing {

class Pty {
 public:
  // Check Ok() before use.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  int Master() const { return master_; }
  // The test's own descriptor of the slave side: keeps the tty alive and shows its settings.
  int Slave() const { return slave_; }
  const std::string& SlavePath() const { return slavePath_; }

  // Closes the master side: the slave side hangs up, as a serial adapter that is unplugged.
  void CloseMaster();

  // Writes all of `bytes` to the master in one write.
  bool WriteToMaster(std::span<const std::uint8_t> bytes);
  // What the master can read within `waitMs`, gathering until the line stays quiet for `quietMs`.
  std::vector<std::uint8_t> ReadFromMaster(int waitMs, int quietMs = 100);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace drvnt::testing
