#include "koSessionUserPoseCommand.h"

#include "koSessionChange.h"
#include "koTestBytes.h"

#include <gtest/gtest.h>

namespace {

using Matrix = osg::TransformationMatrix<float>;

Matrix diagonal(float value)
{
    Matrix matrix;
    for (int i = 0; i < 16; ++i)
        matrix[i] = i % 5 == 0 ? value : 0.0f;
    return matrix;
}

// A diagonal matrix as it travels: 16 floats, IEEE-754, least significant byte first.
std::string diagonalHex(const char* value)
{
    std::string hex;
    for (int i = 0; i < 16; ++i)
        hex += i % 5 == 0 ? value : "00000000";
    return hex;
}

// (1.5, -2.25, 3) to (-0.5, 100, 0).
const std::string pointerHex = "0000c03f000010c000004040" "000000bf0000c84200000000";

koSessionUserPoseCommand poseWith(unsigned short user, float camera, unsigned parts)
{
    koSessionUserPoseCommand pose(user, diagonal(camera));
    if (parts & 1)
        pose.setHeadTracker(diagonal(0.5f));
    if (parts & 2)
        pose.setLeftHandTracker(diagonal(-1.0f), koHandTypes::Fist);
    if (parts & 4)
        pose.setRightHandTracker(diagonal(4.0f), static_cast<koHandTypes::HandPose>(0x12345));
    if (parts & 8)
        pose.setPointer({1.5f, -2.25f, 3.0f}, {-0.5f, 100.0f, 0.0f});
    return pose;
}

// User (2 bytes) and parts (4 bytes) big-endian, the camera, then the parts
// the mask announces; a hand pose goes as its low 16 bits.
const std::pair<unsigned, std::string> payloads[] = {
    {0, "0a0b 00000000" + diagonalHex("0000803f")},
    {8, "0a0b 00000008" + diagonalHex("0000803f") + pointerHex},
    {15, "0a0b 0000000f" + diagonalHex("0000803f") + diagonalHex("0000003f") + diagonalHex("000080bf") + "0002"
             + diagonalHex("00008040") + "2345" + pointerHex},
};

} // namespace

TEST(PoseCommand, PayloadsWrittenAndRead)
{
    for (const auto& [parts, hex] : payloads) {
        const QByteArray payload = QByteArray::fromHex(QByteArray::fromStdString(hex));
        EXPECT_EQ(koTest::payloadOf(poseWith(0x0a0b, 1.0f, parts)).toHex(), payload.toHex()) << parts;

        // Parts the mask leaves out keep what they held.
        koSessionUserPoseCommand read(1, diagonal(3.0f));
        read.setHeadTracker(diagonal(9.0f));
        read.setLeftHandTracker(diagonal(9.0f), koHandTypes::Pinch);
        EXPECT_EQ(koTest::readPayload(read, payload), QDataStream::Ok);
        EXPECT_EQ(read.getUserId(), 0x0a0b);
        EXPECT_TRUE(read.getCamera() == diagonal(1.0f));
        EXPECT_EQ(read.hasHead() + read.hasLeftHand() * 2 + read.hasRightHand() * 4 + read.hasPointer() * 8, int(parts));
        EXPECT_TRUE(read.getHeadTracker() == diagonal(parts & 1 ? 0.5f : 9.0f));
        EXPECT_EQ(read.getLeftHandPose(), parts & 2 ? koHandTypes::Fist : koHandTypes::Pinch);
        for (int length = 0; length < payload.size(); ++length) {
            koSessionUserPoseCommand cut;
            EXPECT_NE(koTest::readPayload(cut, payload.left(length)), QDataStream::Ok) << length;
        }
    }
}

// "UpdatePose" has type 0x7a76b91a; the state is the type and the pose's own user.
TEST(PoseCommand, ChangeRecordOfAPose)
{
    koTest::MemorySerializer serializer;
    koSessionChange(poseWith(0x0a0b, 1.0f, 0), 0x0102).putValue(serializer);
    const std::string hex = "1ab9767a 0201 01000000 0000 06000000 7a76b91a0a0b 4600000000000000" + payloads[0].second;
    EXPECT_EQ(QByteArray(serializer.bytes.data(), int(serializer.bytes.size())).toHex(),
              QByteArray::fromHex(QByteArray::fromStdString(hex)).toHex());
}
