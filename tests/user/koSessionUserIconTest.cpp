#include "koSessionUser.h"

#include "koTestApplication.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Icons paint on QPixmap, which needs an application: one for the program.
const auto* const environment = ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

const QColor participant(40, 120, 200);

// 96 x 96, transparent in the 12 columns on the left and the 12 rows at the bottom.
koSessionUser userWatchedBy(int spectators)
{
    QImage image(96, 96, QImage::Format_ARGB32);
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x)
            image.setPixel(x, y, x < 12 || y >= 84 ? qRgba(0, 0, 0, 0) : qRgba(x, y, 90, 255));
    koSessionUser user;
    user.setColor(participant);
    user.setDeviceImage(image);
    user.setSpectatorCount(spectators);
    return user;
}

bool near(const QColor& actual, const QColor& expected)
{
    return std::abs(actual.red() - expected.red()) <= 2 && std::abs(actual.green() - expected.green()) <= 2
        && std::abs(actual.blue() - expected.blue()) <= 2 && actual.alpha() == expected.alpha();
}

} // namespace

TEST(SessionUserIcon, ShapeInTheColourAndABadgeWithTheCount)
{
    const QImage plain = userWatchedBy(0).getIcon();
    ASSERT_EQ(plain.size(), QSize(96, 96));
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x) {
            const QColor expected = x < 12 || y >= 84 ? QColor(0, 0, 0, 0) : participant;
            ASSERT_EQ(plain.pixelColor(x, y).rgba(), expected.rgba()) << x << ", " << y;
        }

    // The badge: an ellipse in (18, 2, 76 x 76) of rgba(27, 29, 32, 200) over
    // the colour, the count in rgb(250, 186, 3) at its centre.
    const QImage badged = userWatchedBy(3).getIcon();
    const QColor badge((27 * 200 + 40 * 55 + 127) / 255, (29 * 200 + 120 * 55 + 127) / 255,
                       (32 * 200 + 200 * 55 + 127) / 255);
    for (const QPoint& point : {QPoint(56, 6), QPoint(56, 74), QPoint(22, 40), QPoint(90, 40)})
        EXPECT_TRUE(near(badged.pixelColor(point), badge)) << point.x() << ", " << point.y();
    for (const QPoint& point : {QPoint(19, 3), QPoint(93, 3), QPoint(20, 80), QPoint(95, 83)})
        EXPECT_EQ(badged.pixelColor(point), participant) << point.x() << ", " << point.y();
    int digits = 0;
    for (int y = 2; y < 78; ++y)
        for (int x = 18; x < 94; ++x)
            digits += near(badged.pixelColor(x, y), QColor(250, 186, 3));
    EXPECT_GT(digits, 10);
    EXPECT_NE(userWatchedBy(8).getIcon(), badged);
    EXPECT_EQ(userWatchedBy(8).getIcon().pixel(56, 6), badged.pixel(56, 6));
}
