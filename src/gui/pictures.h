// The window's pictures: the status bitmaps carried as resources, and the
// start, stop and program icons, drawn here.
#pragma once

#include <QIcon>
#include <QImage>

#include <cstdint>
#include <span>

namespace quorrel::gui {

// A bitmap resource (information header, colour table, bottom-up rows; 1, 4,
// 8, 24 or 32 bits per pixel, uncompressed). A null image when the bytes do
// not hold such a bitmap whole.
QImage DecodeDib(std::span<const uint8_t> dib);

// The status bitmap with that resource identifier (149-152); null when the
// program carries none.
QImage StatusPicture(int bitmap);

QIcon StartIcon();
QIcon StopIcon();
QIcon ProgramIcon();

}  // namespace quorrel::gui
