#pragma once
// The program's four-part version as the V8 version record carries it, and the rule that turns a
// version string into the four numbers. Pure; the build supplies the program's own string.

#include <string_view>

#include "v8link/wire_codec.h"

namespace drvnt {

// "2.10.0.7" gives 2, 10, 0, 7. Major, minor and release are the pieces before the first three
// points in turn, build is all that is left ("1.2.3.4.5" gives build 0, "1.2" gives 1, 0, 0, 2);
// a string without a point gives zeros; a piece that is not a decimal integer counts as 0; each
// number keeps its low 16 bits.
v8::VersionNumbers ParseVersionString(std::string_view text);

// The build's four-part version, "1.0.0.1".
std::string_view ProgramVersionString();

}  // namespace drvnt
