#include "app/error_log.h"

#include <iostream>

#include "core/cp1251.h"
#include "platform/files.h"

namespace drvnt {

ErrorLog::ErrorLog(std::string path) : path_(std::move(path)) {}

void ErrorLog::LogError(std::int32_t code) noexcept {
  try {
    const std::string line = Utf8ToCp1251("ошибка №") + std::to_string(code) + "\r\n";
    const auto error =
        AppendToFile(path_, {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
    if (error && !failureReported_) {
      failureReported_ = true;
      std::cerr << "error log: cannot write " << path_ << ": " << error->text << " (error " << code
                << " and later ones are not recorded there)" << std::endl;
    }
  } catch (...) {
    // Out of memory while building one line: nothing more can be done here.
  }
}

}  // namespace drvnt
