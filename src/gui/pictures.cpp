#include "gui/pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <optional>

#include "release/embedded_resources.h"

namespace quorrel::gui {

namespace {

uint32_t Le32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

constexpr size_t kInfoHeader = 40;
constexpr int32_t kMaxSide = 4096;

// One icon drawn at every size it is asked for.
class DrawnIconEngine {
 public:
  template <typename Draw>
  static QIcon Make(Draw draw) {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 256}) {
      QPixmap pixmap(side, side);
      pixmap.fill(Qt::transparent);
      QPainter p(&pixmap);
      p.setRenderHint(QPainter::Antialiasing);
      p.scale(side / 32.0, side / 32.0);
      draw(p);
      p.end();
      icon.addPixmap(pixmap);
    }
    return icon;
  }
};

}  // namespace

QImage DecodeDib(std::span<const uint8_t> dib) {
  if (dib.size() < kInfoHeader || Le32(dib, 0) < kInfoHeader) return {};
  const size_t headerSize = Le32(dib, 0);
  const int32_t width = static_cast<int32_t>(Le32(dib, 4));
  const int32_t rawHeight = static_cast<int32_t>(Le32(dib, 8));
  const uint16_t planes = Le16(dib, 12);
  const uint16_t bits = Le16(dib, 14);
  const uint32_t compression = Le32(dib, 16);
  uint32_t colours = Le32(dib, 32);
  if (planes != 1 || compression != 0 || width <= 0 || width > kMaxSide || rawHeight == 0 ||
      rawHeight < -kMaxSide || rawHeight > kMaxSide) {
    return {};
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return {};
  const bool bottomUp = rawHeight > 0;
  const int height = bottomUp ? rawHeight : -rawHeight;
  if (bits <= 8 && colours == 0) colours = 1u << bits;
  if (bits > 8) colours = 0;
  if (colours > 256 || headerSize > dib.size()) return {};
  const size_t palette = headerSize;
  const size_t pixels = palette + static_cast<size_t>(colours) * 4;
  const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  if (pixels > dib.size() || (dib.size() - pixels) / stride < static_cast<size_t>(height))
    return {};

  QImage image(width, height, QImage::Format_RGB32);
  for (int row = 0; row < height; ++row) {
    const size_t line = pixels + stride * static_cast<size_t>(bottomUp ? height - 1 - row : row);
    QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(row));
    for (int x = 0; x < width; ++x) {
      if (bits > 8) {
        const size_t at = line + static_cast<size_t>(x) * (bits / 8);
        out[x] = qRgb(dib[at + 2], dib[at + 1], dib[at]);
        continue;
      }
      const size_t bit = static_cast<size_t>(x) * bits;
      const uint8_t byte = dib[line + bit / 8];
      const unsigned index = (byte >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
      if (index >= colours) {
        out[x] = qRgb(0, 0, 0);
        continue;
      }
      const size_t c = palette + index * 4;
      out[x] = qRgb(dib[c + 2], dib[c + 1], dib[c]);
    }
  }
  return image;
}

QImage StatusPicture(int bitmap) {
  std::optional<std::span<const uint8_t>> data = EmbeddedResources().Find(bitmap, "BITMAP");
  if (!data) return {};
  return DecodeDib(*data);
}

QIcon StartIcon() {
  static const QIcon icon = DrawnIconEngine::Make([](QPainter& p) {
    p.setPen(QPen(QColor(0x1E, 0x6B, 0x2E), 1.5));
    p.setBrush(QColor(0x3C, 0xB0, 0x4E));
    p.drawEllipse(QRectF(2, 2, 28, 28));
    QPainterPath arrow;
    arrow.moveTo(12, 8.5);
    arrow.lineTo(23.5, 16);
    arrow.lineTo(12, 23.5);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(arrow);
  });
  return icon;
}

QIcon StopIcon() {
  static const QIcon icon = DrawnIconEngine::Make([](QPainter& p) {
    QPainterPath octagon;
    const double a = 9.5, b = 22.5;
    octagon.moveTo(a, 2);
    octagon.lineTo(b, 2);
    octagon.lineTo(30, a);
    octagon.lineTo(30, b);
    octagon.lineTo(b, 30);
    octagon.lineTo(a, 30);
    octagon.lineTo(2, b);
    octagon.lineTo(2, a);
    octagon.closeSubpath();
    p.setPen(QPen(QColor(0x80, 0x10, 0x10), 1.5));
    p.setBrush(QColor(0xD0, 0x30, 0x30));
    p.drawPath(octagon);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(8, 13.5, 16, 5));
  });
  return icon;
}

QIcon ProgramIcon() {
  static const QIcon icon = DrawnIconEngine::Make([](QPainter& p) {
    // A data card with its plug, and the arrow of a download into it.
    p.setPen(QPen(QColor(0x1A, 0x3C, 0x70), 1.2));
    p.setBrush(QColor(0x2F, 0x6F, 0xC8));
    p.drawRoundedRect(QRectF(5, 9, 22, 20), 3, 3);
    p.setBrush(QColor(0xB8, 0xC4, 0xD0));
    p.drawRect(QRectF(11, 3, 10, 6));
    QPainterPath arrow;
    arrow.moveTo(13.5, 12);
    arrow.lineTo(18.5, 12);
    arrow.lineTo(18.5, 18);
    arrow.lineTo(22, 18);
    arrow.lineTo(16, 25);
    arrow.lineTo(10, 18);
    arrow.lineTo(13.5, 18);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(arrow);
  });
  return icon;
}

}  // namespace quorrel::gui
