#include "ui/pictures.h"

#include <QPainter>
#include <QPixmap>

namespace drvnt {

QImage GlyphImage(const GlyphPixels& pixels) {
  QImage image(kGlyphSize, kGlyphSize, QImage::Format_ARGB32);
  for (int y = 0; y < kGlyphSize; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < kGlyphSize; ++x)
      line[x] = GlyphPixel(pixels, x, y);
  }
  return image;
}

namespace {

QPixmap Canvas(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

// A monitor with three link bars on it.
QPixmap StatusPicture() {
  QPixmap pixmap = Canvas(48);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 60, 90), 2));
  p.setBrush(QColor(235, 243, 252));
  p.drawRoundedRect(QRectF(4, 6, 40, 28), 3, 3);
  p.drawLine(QPointF(24, 34), QPointF(24, 40));
  p.drawLine(QPointF(14, 41), QPointF(34, 41));
  const QColor bars[] = {QColor(0, 128, 0), QColor(0, 128, 0), QColor(255, 0, 0)};
  for (int i = 0; i < 3; ++i) {
    p.setPen(Qt::NoPen);
    p.setBrush(bars[i]);
    p.drawRect(QRectF(10 + i * 10, 24 - i * 5, 7, 6 + i * 5));
  }
  return pixmap;
}

// A cog wheel.
QPixmap SettingsPicture() {
  QPixmap pixmap = Canvas(48);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(24, 24);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 90, 120));
  for (int i = 0; i < 8; ++i) {
    p.drawRect(QRectF(-4, -19, 8, 10));
    p.rotate(45);
  }
  p.drawEllipse(QPointF(0, 0), 13, 13);
  p.setBrush(QColor(235, 243, 252));
  p.drawEllipse(QPointF(0, 0), 5, 5);
  return pixmap;
}

// The link glyph of a working link, twice its size.
QPixmap ApplicationPicture() {
  QPixmap pixmap = Canvas(32);
  QPainter p(&pixmap);
  p.drawImage(QRect(0, 0, 32, 32), GlyphImage(PaintGlyphPixels(true, 6)));
  return pixmap;
}

}  // namespace

QIcon StatusPageIcon() {
  return QIcon(StatusPicture());
}
QIcon SettingsPageIcon() {
  return QIcon(SettingsPicture());
}
QIcon ApplicationIcon() {
  return QIcon(ApplicationPicture());
}

}  // namespace drvnt
