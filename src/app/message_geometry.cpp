#include "app/message_geometry.h"

namespace drvnt {

int CountCharacters(std::string_view utf8) {
  int count = 0;
  for (const char c : utf8) {
    // Continuation bytes 10xxxxxx belong to the character before them.
    if ((static_cast<unsigned char>(c) & 0xC0u) != 0x80u)
      ++count;
  }
  return count;
}

MessageGeometry FitMessage(std::string_view utf8Text) {
  const int width = CountCharacters(utf8Text) * kMessagePixelsPerChar;
  MessageGeometry g;
  g.windowWidth = width;
  g.labelWidth = width;
  g.buttonLeft = (width - kMessageButtonWidth) / 2;  // C++ division truncates toward zero
  return g;
}

}  // namespace drvnt
