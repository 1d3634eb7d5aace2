#pragma once
// The driver's error log "error.txt": one line per error, "ошибка №" and the number, CR LF, in
// Windows-1251 bytes; created by the first error and appended to afterwards. Writing it never
// throws: a log that cannot be written is reported once on standard error and the caller goes on,
// so a failing disk can never turn a timer tick into an error report five times a second.

#include <cstdint>
#include <string>

namespace drvnt {

class ErrorLog {
 public:
  explicit ErrorLog(std::string path);

  void LogError(std::int32_t code) noexcept;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool failureReported_ = false;
};

}  // namespace drvnt
