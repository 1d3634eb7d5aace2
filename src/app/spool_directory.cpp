#include "app/spool_directory.h"

#include <ostream>

namespace drvnt {

std::string SpoolDirectoryOf(const std::string& prefix) {
  const std::size_t slash = prefix.rfind('/');
  if (slash == std::string::npos)
    return "";
  return slash == 0 ? "/" : prefix.substr(0, slash);
}

void PrepareSpoolDirectory(SpoolDir& dir, const std::string& prefix, std::ostream& out,
                           const std::function<void(const std::string&)>& report) {
  const std::string path = SpoolDirectoryOf(prefix);
  if (path.empty())
    return;
  bool created = false;
  if (auto error = dir.MakeDirectories(path, created)) {
    if (report) {
      report("Cannot create the spool directory \"" + path + "\": " + error->text +
             ". Events that no link takes cannot be kept, and their frames are not acknowledged "
             "to the receiver.");
    }
    return;
  }
  if (created)
    out << "spool: created the directory \"" << path << "\"" << std::endl;
}

}  // namespace drvnt
