#pragma once
// The window's pictures: the link glyph pixels as an image, and the icons of the page buttons,
// the tray and the application, drawn in code so that the program ships no image files.

#include <QIcon>
#include <QImage>

#include "app/glyph.h"

namespace drvnt {

// The glyph pixels, one to one, as a 16 x 16 ARGB image.
QImage GlyphImage(const GlyphPixels& pixels);

QIcon StatusPageIcon();
QIcon SettingsPageIcon();
// The application's icon, also shown in the tray.
QIcon ApplicationIcon();

}  // namespace drvnt
