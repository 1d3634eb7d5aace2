#pragma once
// The texts of the Windows Sockets error numbers, which the V7 client reports with every socket
// failure on every platform (the socket layer maps its own error codes onto these numbers).

#include <cstdint>
#include <string_view>

namespace drvnt {

// The text for a Windows Sockets error number; "Not a WinSock error ?" for any other number.
std::string_view WinsockErrorText(std::int32_t code);

}  // namespace drvnt
