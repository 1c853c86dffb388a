#include "koTestDeviceImage.h"

#include "koSessionUser.h"

#include <QColor>
#include <QImage>
#include <QPoint>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

const QColor participant(40, 120, 200);
const QColor badgeBrush(27, 29, 32, 200);
const QColor digitColor(250, 186, 3);

koSessionUser makeUser(int spectatorCount)
{
    koSessionUser user;
    user.setColor(participant);
    user.setDeviceImage(koTest::makeDeviceImage());
    user.setSpectatorCount(spectatorCount);
    return user;
}

// The badge brush blended over the participant's colour.
QColor badgeOverParticipant()
{
    const auto blend = [](int over, int under) {
        return (over * badgeBrush.alpha() + under * (255 - badgeBrush.alpha()) + 127) / 255;
    };
    return QColor(blend(badgeBrush.red(), participant.red()), blend(badgeBrush.green(), participant.green()),
                  blend(badgeBrush.blue(), participant.blue()));
}

::testing::AssertionResult hasColor(const QImage& image, QPoint point, const QColor& expected, int tolerance = 0)
{
    const QColor actual = image.pixelColor(point);
    const bool close = std::abs(actual.red() - expected.red()) <= tolerance
        && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance && actual.alpha() == expected.alpha();
    if (close)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
        << "pixel (" << point.x() << ", " << point.y() << ") is " << actual.name(QColor::HexArgb).toStdString()
        << ", expected " << expected.name(QColor::HexArgb).toStdString();
}

bool isTransparent(const QImage& image, QPoint point)
{
    return image.pixelColor(point).alpha() == 0;
}

// Points of the device picture's shape that the badge never covers: the
// corners of the badge rectangle outside its ellipse, and the shape below it.
const std::vector<QPoint> shapeOutsideBadge = {{12, 0}, {14, 80}, {19, 3}, {93, 3}, {20, 76}, {95, 83}, {30, 88}};
// Points outside the shape: the transparent strips.
const std::vector<QPoint> outsideShape = {{0, 0}, {11, 50}, {5, 90}, {60, 84}, {95, 95}};
// Points inside the badge's ellipse (centre (56, 40), radius 38) well away
// from the digits drawn at its centre.
const std::vector<QPoint> badgeAwayFromDigits = {{56, 6}, {56, 74}, {22, 40}, {90, 40}, {33, 20}, {80, 62}};

} // namespace

TEST(SessionUserIcon, WithoutSpectatorsIconIsTheShapeInTheColour)
{
    for (const int count : {0, -2}) {
        SCOPED_TRACE(count);
        const QImage icon = makeUser(count).getIcon();
        ASSERT_EQ(icon.size(), koTest::makeDeviceImage().size());
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x) {
                const QPoint point(x, y);
                const bool inShape = !(x < 12 || y >= 84) || point == QPoint(30, 88);
                if (inShape)
                    ASSERT_TRUE(hasColor(icon, point, participant));
                else
                    ASSERT_TRUE(isTransparent(icon, point)) << x << ", " << y;
            }
    }
}

TEST(SessionUserIcon, SpectatorsAddABadgeWithTheCount)
{
    const QImage icon = makeUser(3).getIcon();
    ASSERT_EQ(icon.size(), koTest::makeDeviceImage().size());
    for (const QPoint& point : shapeOutsideBadge)
        EXPECT_TRUE(hasColor(icon, point, participant));
    for (const QPoint& point : outsideShape)
        EXPECT_TRUE(isTransparent(icon, point)) << point.x() << ", " << point.y();
    for (const QPoint& point : badgeAwayFromDigits)
        EXPECT_TRUE(hasColor(icon, point, badgeOverParticipant(), 2));

    int digitPixels = 0;
    for (int y = 2; y < 78; ++y)
        for (int x = 18; x < 94; ++x)
            if (hasColor(icon, QPoint(x, y), digitColor, 2))
                ++digitPixels;
    EXPECT_GT(digitPixels, 10) << "the count is drawn in the digit colour";
}

TEST(SessionUserIcon, BadgeShowsTheNumber)
{
    // Different counts draw different digits on the same badge.
    const QImage one = makeUser(1).getIcon();
    const QImage eight = makeUser(8).getIcon();
    EXPECT_NE(one, eight);
    for (const QPoint& point : badgeAwayFromDigits)
        EXPECT_EQ(one.pixel(point), eight.pixel(point));
}

TEST(SessionUserIcon, OtherFieldsDoNotChangeTheIcon)
{
    const koSessionUser plain = makeUser(2);
    koSessionUser other = plain;
    other.setIsHmd(true);
    other.setIsSpectator(true);
    other.setName(QStringLiteral("someone else"));
    other.setSpectatedUserId(4);
    EXPECT_EQ(plain.getIcon(), other.getIcon());
}

TEST(SessionUserIcon, NullDeviceImageGivesANullIcon)
{
    koSessionUser user;
    EXPECT_TRUE(user.getIcon().isNull());
}
