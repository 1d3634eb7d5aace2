#pragma once
// The driver's settings: section `main` of "drvnt417.ini", read once at start-up in a fixed order
// and kept for the life of the process. `Razdels` (every event frame), `ServerHost` (the V8
// worker, at every connection attempt) and `ComPorts` (every opening of a serial port) are read
// where they are used.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/ini_profile.h"
#include "platform/files.h"

namespace drvnt {

inline constexpr const char* kIniFileName = "drvnt417.ini";
inline constexpr const char* kNoPortChosen = "COM255";

struct Settings {
  std::string ComPort = kNoPortChosen;
  std::int32_t n_abs = -1;
  std::int32_t FirstNumber = 4;
  std::string PathForSoob;
  std::string host = "localhost";
  bool NotSendToDiskV8 = false;
  bool Razdel = false;
  DateTime AttentionInterval = 10.0 / 1440.0;  // 00:10:00
  bool Log = false;
  bool SendV7 = false;
  bool SendV8 = true;
};

// Reads section `main` key by key, driven by a table of its keys, in the order ComPort, n_abs,
// FirstNumber, PathForSoob, host, NotSendToDiskV8, Razdel, Attention, Log, SendV7, SendV8. `onHost`
// receives `host` as soon as it has been read.
Settings ReadSettings(const IniProfile& ini,
                      const std::function<void(const std::string&)>& onHost = {});

// What a reader of the file should know and the driver cannot tell the operator otherwise: one
// line per unknown section, per unknown key of `main` or `ServerHost`, and per value that does
// not follow its key's rule and so gives the default (`SendV8=yes`, `Port=12543x`). The values
// themselves still read as ReadSettings reads them.
std::vector<std::string> CheckSettings(const IniProfile& ini);

// The V8 server of section `ServerHost`.
struct ServerHostSettings {
  std::string Address = "127.0.0.1";
  std::int32_t Port = 12543;
  std::int32_t PacketSize = 2000;
};

ServerHostSettings ReadServerHostSettings(const IniProfile& ini);

// The INI file "drvnt417.ini" of a directory. A large file (a big station's `Razdels`) must not
// be read for every event frame and every scanned port: the file is read again only when it has
// changed since it was last read, told by its stamp (which file, its size, when its data and its
// entry changed, in nanoseconds: an edit of the same size within the same second still shows). A
// stamp so recent that another change within the same time-stamp tick could follow unseen is not
// trusted: the file is read again, and parsed again only when its text changed, so an edit always
// counts from the next lookup. Thread-safe: the V8 worker reads `ServerHost` through it.
class IniFile {
 public:
  // How long after a change a stamp is not trusted: by default wider than the time-stamp tick of
  // the file system, told by the stamp itself (whole seconds where the ticks are coarse).
  explicit IniFile(std::string directory, std::optional<std::int64_t> untrustedStampNs = {});

  const std::string& Path() const { return path_; }
  // The file's text; a missing or unreadable file reads as empty, which gives every default.
  std::shared_ptr<const IniProfile> Load() const;
  // How often the file has been read since this object was made.
  std::uint64_t Readings() const;
  // Changes one key in place, keeping every other line; throws std::runtime_error on failure.
  void WriteString(const std::string& section, const std::string& key,
                   const std::string& value) const;

 private:
  std::string path_;
  std::optional<std::int64_t> untrustedStampNs_;
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const IniProfile> profile_;
  mutable std::optional<FileStamp> stamp_;  // of the file when `profile_` was read
  mutable bool stampTrusted_ = false;
  mutable std::uint64_t readings_ = 0;
};

}  // namespace drvnt
