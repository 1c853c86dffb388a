#pragma once

#include <QColor>
#include <QImage>

namespace koTest {

// A 96 x 96 device picture: opaque everywhere except a transparent strip of
// 12 columns on the left and of 12 rows at the bottom, with one
// half-transparent pixel at (30, 88) inside the bottom strip.
inline QImage makeDeviceImage()
{
    QImage image(96, 96, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool transparent = x < 12 || y >= 84;
            image.setPixel(x, y, transparent ? qRgba(0, 0, 0, 0) : qRgba(x * 2, y * 2, 90, 255));
        }
    image.setPixel(30, 88, qRgba(200, 10, 10, 128));
    return image;
}

} // namespace koTest
