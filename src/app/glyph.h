#pragma once
// The link glyph: a 16 x 16 picture of one link's state, a frame with a five-column bar inside.
// The frame and the bar are green while the link is up and red while it is down; the bar moves one
// column to the right with every step of the link's activity counter and wraps to the left edge.
// Pure pixels: the window only copies them onto the screen. Never writes outside the bitmap,
// whatever counter it is given.

#include <array>
#include <cstdint>

namespace drvnt {

inline constexpr int kGlyphSize = 16;

// Row-major pixels, 0xAARRGGBB, row 0 at the top.
using GlyphPixels = std::array<std::uint32_t, kGlyphSize * kGlyphSize>;

inline constexpr std::uint32_t kGlyphWhite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kGlyphGreen = 0xFF008000u;  // link up
inline constexpr std::uint32_t kGlyphRed = 0xFFFF0000u;    // link down

// The whole glyph for a link-up flag and an activity counter (0..16).
GlyphPixels PaintGlyphPixels(bool linkUp, int counter);

inline std::uint32_t GlyphPixel(const GlyphPixels& pixels, int x, int y) {
  return pixels[static_cast<std::size_t>(y * kGlyphSize + x)];
}

}  // namespace drvnt
