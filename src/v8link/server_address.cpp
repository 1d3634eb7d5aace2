#include "v8link/server_address.h"

#include <cctype>
#include <string_view>
#include <vector>

namespace drvnt {
namespace {

constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;

std::vector<std::string_view> SplitDots(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot - start));
    if (dot == std::string_view::npos)
      return parts;
    start = dot + 1;
  }
}

bool AllDigits(std::string_view text) {
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
  }
  return true;
}

// Four decimal numbers 0..255 joined by dots.
bool IsDottedIpv4(std::string_view text) {
  const auto parts = SplitDots(text);
  if (parts.size() != 4)
    return false;
  for (const std::string_view p : parts) {
    if (p.empty() || p.size() > 3 || !AllDigits(p) || std::stoi(std::string(p)) > 255)
      return false;
  }
  return true;
}

// Labels of letters, digits and hyphens, none empty or longer than 63 or with a hyphen at either
// end; one trailing dot allowed.
bool IsHostName(std::string_view text) {
  if (!text.empty() && text.back() == '.')
    text.remove_suffix(1);
  if (text.empty() || text.size() > kMaxHostName)
    return false;
  for (const std::string_view label : SplitDots(text)) {
    if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-')
      return false;
    for (const char c : label) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
        return false;
    }
  }
  return true;
}

bool IsNumeric(std::string_view text) {
  for (const char c : text) {
    if (c != '.' && !std::isdigit(static_cast<unsigned char>(c)))
      return false;
  }
  return true;
}

}  // namespace

std::string WhyServerHostUnusable(const std::string& address, std::int32_t port) {
  std::string why;
  // Digits and dots alone are meant as an address, never as a name: "10.0.0.300" is a typing
  // error, not a host.
  const bool addressOk = IsNumeric(address) ? IsDottedIpv4(address) : IsHostName(address);
  if (!addressOk)
    why = "Address=" + address + " is neither a dotted IPv4 address nor a host name";
  if (port < 1 || port > 65535) {
    if (!why.empty())
      why += "; ";
    why += "Port=" + std::to_string(port) + " is not a TCP port (1..65535)";
  }
  return why;
}

std::optional<std::string> ServerHostProblem::Report(const std::string& why) {
  if (why == last_)
    return std::nullopt;
  last_ = why;
  if (why.empty())
    return std::nullopt;
  return "V8 link: [ServerHost] " + why + "; no connection can be made until it is corrected";
}

}  // namespace drvnt
