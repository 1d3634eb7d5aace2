#include "app/glyph.h"

namespace drvnt {

namespace {

// The frame is the outline of the rectangle (0, 3)-(16, 15) drawn with a solid pen two pixels
// wide, by the GDI rules the glyph was designed under: the right and bottom edges of a rectangle
// are exclusive, so the outline runs through columns 0 and 15 and rows 3 and 14; a two-pixel pen
// is centred on that outline and covers the line's own pixel and the one before it (x - 1 and x,
// y - 1 and y); its round joins fill the corners. So the frame covers rows 2..3 and 13..14 across
// columns 0..15, and columns 0 (with -1, outside the bitmap) and 14..15 across rows 2..14. Row 4
// above the bar and row 12 below it stay white, and so do rows 0, 1 and 15.
constexpr int kFrameTop = 2;
constexpr int kFrameBottom = 14;  // last row of the frame
constexpr int kFrameRight = 15;   // last column of the frame
constexpr int kFrameThickness = 2;

// The bar: five one-pixel lines from (x, 5) to (x, 12), the end point not drawn.
constexpr int kBarTop = 5;
constexpr int kBarBottom = 11;  // last row of the bar
constexpr int kBarColumns = 5;
constexpr int kBarWrap = 16;  // a column above 16 is drawn 16 columns further left

void Put(GlyphPixels& pixels, int x, int y, std::uint32_t colour) {
  if (x < 0 || x >= kGlyphSize || y < 0 || y >= kGlyphSize)
    return;
  pixels[static_cast<std::size_t>(y * kGlyphSize + x)] = colour;
}

void FillRect(GlyphPixels& pixels, int left, int top, int right, int bottom, std::uint32_t colour) {
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x)
      Put(pixels, x, y, colour);
  }
}

void DrawFrame(GlyphPixels& pixels, std::uint32_t colour) {
  const int innerTop = kFrameTop + kFrameThickness - 1;
  const int innerBottom = kFrameBottom - kFrameThickness + 1;
  FillRect(pixels, -1, kFrameTop, kFrameRight, innerTop, colour);
  FillRect(pixels, -1, innerBottom, kFrameRight, kFrameBottom, colour);
  FillRect(pixels, -1, kFrameTop, 0, kFrameBottom, colour);
  FillRect(pixels, kFrameRight - kFrameThickness + 1, kFrameTop, kFrameRight, kFrameBottom, colour);
}

void DrawBar(GlyphPixels& pixels, int counter, std::uint32_t colour) {
  for (int i = 0; i < kBarColumns; ++i) {
    // Wide arithmetic: a counter that went wrong elsewhere must not overflow here.
    long long column = static_cast<long long>(counter) + i;
    if (column > kBarWrap)
      column -= kBarWrap;
    if (column < 0 || column >= kGlyphSize)
      continue;  // column 16 lies outside the bitmap
    const int x = static_cast<int>(column);
    FillRect(pixels, x, kBarTop, x, kBarBottom, colour);
  }
}

}  // namespace

GlyphPixels PaintGlyphPixels(bool linkUp, int counter) {
  GlyphPixels pixels;
  pixels.fill(kGlyphWhite);
  const std::uint32_t colour = linkUp ? kGlyphGreen : kGlyphRed;
  DrawFrame(pixels, colour);
  DrawBar(pixels, counter, colour);
  return pixels;
}

}  // namespace drvnt
