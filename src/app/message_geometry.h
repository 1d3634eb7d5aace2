#pragma once
// How the message window fits itself to its one line of text: ten pixels of width per character
// (the label's 12-point font less two), the label across the whole width, the OK button centred.
// Pure arithmetic on the character count; the window applies it. A short text puts the button
// partly outside the window (a negative left edge), and a long one widens the window without
// limit: both are kept as they are, since operators know the window this way.

#include <string_view>

namespace drvnt {

inline constexpr int kMessageFontPoints = 12;
inline constexpr int kMessagePixelsPerChar = kMessageFontPoints - 2;
inline constexpr int kMessageClientHeight = 73;
inline constexpr int kMessageLabelLeft = 2;
inline constexpr int kMessageLabelTop = 16;
inline constexpr int kMessageButtonWidth = 72;
inline constexpr int kMessageButtonHeight = 25;
inline constexpr int kMessageButtonTop = 41;
// The text stays this far from each edge of the window: the label is as wide as the window but
// starts 2 pixels in, and a window frame may cover the edge.
inline constexpr int kMessageTextMargin = 4;

struct MessageGeometry {
  int windowWidth = 0;
  int labelLeft = kMessageLabelLeft;
  int labelWidth = 0;
  int buttonLeft = 0;  // may be negative
};

// Characters (code points) of a UTF-8 text, not its bytes.
int CountCharacters(std::string_view utf8);

MessageGeometry FitMessage(std::string_view utf8Text);

}  // namespace drvnt
