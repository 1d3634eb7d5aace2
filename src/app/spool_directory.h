#pragma once
// The spool directory at start. `PathForSoob` is a prefix, not a directory: "spool/" names the
// directory "spool", "spool/x" the directory "spool" with names beginning with "x", and a prefix
// without "/" the current directory. A directory that is missing at start is made, its parents too,
// so that the first event of a link that is down finds its place; one that cannot be made is
// reported at once, not only when the first event cannot be kept.

#include <functional>
#include <iosfwd>
#include <string>

#include "platform/files.h"

namespace drvnt {

// The directory of the spool files under `prefix`; empty for the current directory.
std::string SpoolDirectoryOf(const std::string& prefix);

// Makes the directory of `prefix` when it is missing, with one line on `out`; when it cannot be
// made, says why through `report` (the program's error report, which also goes to standard error).
void PrepareSpoolDirectory(SpoolDir& dir, const std::string& prefix, std::ostream& out,
                           const std::function<void(const std::string&)>& report);

}  // namespace drvnt
