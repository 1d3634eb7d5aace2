#pragma once
// Texts that go into files or onto a wire are single-byte Windows-1251; inside the program and in
// the INI file they are UTF-8.

#include <string>
#include <string_view>

namespace drvnt {

// Characters without a Windows-1251 form become "?".
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace drvnt
