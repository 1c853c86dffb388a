#include "koSessionUser.h"

#include "koTestApplication.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Icons paint on QPixmap, which needs an application: one for the program.
const auto* const environment = ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

// A 96 x 96 picture, transparent in the 12 columns on the left and the 12 rows
// at the bottom, in colour (40, 120, 200).
QImage iconOf(int spectators)
{
    QImage image(96, 96, QImage::Format_ARGB32);
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x)
            image.setPixel(x, y, x < 12 || y >= 84 ? qRgba(0, 0, 0, 0) : qRgba(x, y, 90, 255));
    koSessionUser user;
    user.setColor(QColor(40, 120, 200));
    user.setDeviceImage(image);
    user.setSpectatorCount(spectators);
    return user.getIcon();
}

bool near(const QColor& actual, int red, int green, int blue)
{
    return std::abs(actual.red() - red) <= 2 && std::abs(actual.green() - green) <= 2
        && std::abs(actual.blue() - blue) <= 2 && actual.alpha() == 255;
}

} // namespace

TEST(SessionUserIcon, ShapeInTheColourAndABadgeWithTheCount)
{
    const QImage plain = iconOf(0);
    ASSERT_EQ(plain.size(), QSize(96, 96));
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x)
            ASSERT_EQ(plain.pixel(x, y), x < 12 || y >= 84 ? qRgba(0, 0, 0, 0) : qRgb(40, 120, 200)) << x << ", " << y;

    // An ellipse in (18, 2, 76 x 76) of rgba(27, 29, 32, 200) over the colour,
    // the count in rgb(250, 186, 3) at its centre; its corners keep the colour.
    const QImage three = iconOf(3);
    for (const QPoint& point : {QPoint(56, 6), QPoint(56, 74), QPoint(22, 40), QPoint(90, 40)})
        EXPECT_TRUE(near(three.pixelColor(point), 30, 49, 68)) << point.x() << ", " << point.y();
    for (const QPoint& point : {QPoint(19, 3), QPoint(93, 3), QPoint(20, 80), QPoint(95, 83)})
        EXPECT_EQ(three.pixel(point), qRgb(40, 120, 200)) << point.x() << ", " << point.y();
    int digits = 0;
    for (int y = 2; y < 78; ++y)
        for (int x = 18; x < 94; ++x)
            digits += near(three.pixelColor(x, y), 250, 186, 3);
    EXPECT_GT(digits, 10);
    EXPECT_NE(iconOf(8), three);
}
