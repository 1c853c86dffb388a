#include "koSessionUserPoseCommand.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koTestMemorySerializer.h"

#include <QDataStream>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Matrix = osg::TransformationMatrix<float>;
using Point3 = osg::Point<float, 3>;

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

const char* const one = "0000803f";
const char* const two = "00000040";
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
        pose.setPointer(Point3(1.5f, -2.25f, 3.0f), Point3(-0.5f, 100.0f, 0.0f));
    return pose;
}

QByteArray payloadOf(const koSessionCommand& command)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    command.putData(stream);
    return bytes;
}

QDataStream::Status readInto(koSessionCommand& command, const QByteArray& payload)
{
    QDataStream stream(payload);
    command.getData(stream);
    return stream.status();
}

// User (2 bytes) and parts (4 bytes) big-endian, the camera, then the parts
// the mask announces; a hand pose goes as its low 16 bits.
struct Row
{
    unsigned short user;
    float camera;
    unsigned parts;
    std::string payload;
};

const Row rows[] = {
    {0x0a0b, 1.0f, 0, "0a0b 00000000" + diagonalHex(one)},
    {4, 2.0f, 8, "0004 00000008" + diagonalHex(two) + pointerHex},
    {0x0102, 2.0f, 15, "0102 0000000f" + diagonalHex(two) + diagonalHex("0000003f") + diagonalHex("000080bf") + "0002"
                           + diagonalHex("00008040") + "2345" + pointerHex},
};

} // namespace

TEST(PoseCommand, PayloadsWrittenAndRead)
{
    for (const Row& row : rows) {
        const QByteArray expected = QByteArray::fromHex(QByteArray::fromStdString(row.payload));
        EXPECT_EQ(payloadOf(poseWith(row.user, row.camera, row.parts)).toHex(), expected.toHex()) << row.parts;

        koSessionUserPoseCommand read;
        EXPECT_EQ(readInto(read, expected), QDataStream::Ok);
        EXPECT_EQ(read.getUserId(), row.user);
        EXPECT_EQ(read.isEmpty(), row.parts == 0);
        EXPECT_EQ(read.hasHead() * 1 + read.hasLeftHand() * 2 + read.hasRightHand() * 4 + read.hasPointer() * 8,
                  int(row.parts));
        EXPECT_EQ(payloadOf(read).toHex(), expected.toHex()) << row.parts;
        for (int length = 0; length < expected.size(); ++length) {
            koSessionUserPoseCommand cut;
            EXPECT_NE(readInto(cut, expected.left(length)), QDataStream::Ok) << length;
        }
    }
}

TEST(PoseCommand, AbsentPartsKeepWhatTheyHeld)
{
    koSessionUserPoseCommand target = poseWith(1, 3.0f, 15);
    ASSERT_EQ(readInto(target, payloadOf(poseWith(4, 2.0f, 8))), QDataStream::Ok);
    EXPECT_TRUE(target.getCamera() == diagonal(2.0f));
    EXPECT_FALSE(target.hasHead() || target.hasLeftHand() || target.hasRightHand());
    EXPECT_TRUE(target.getHeadTracker() == diagonal(0.5f));
    EXPECT_TRUE(target.getRightHandTracker() == diagonal(4.0f));
    EXPECT_EQ(target.getLeftHandPose(), koHandTypes::Fist);
}

// "UpdatePose" has type 0x7a76b91a; the state is the type and the pose's own user.
TEST(PoseCommand, ChangeRecordOfAPose)
{
    koTest::MemorySerializer serializer;
    koSessionChange(poseWith(0x0a0b, 1.0f, 0), 0x0102).putValue(serializer);
    const QByteArray expected = QByteArray::fromHex(
        QByteArray::fromStdString("1ab9767a 0201 01000000 0000 06000000 7a76b91a0a0b 4600000000000000" + rows[0].payload));
    EXPECT_EQ(QByteArray(serializer.bytes.data(), int(serializer.bytes.size())).toHex(), expected.toHex());
    EXPECT_EQ(koSessionChange(poseWith(0x0a0c, 2.0f, 15), 0x0a0b).getStateId().toHex(), QByteArray("7a76b91a0a0c"));
}

TEST(PoseCommand, HeadAndHandsAreTrackerTimesCamera)
{
    const auto whole = [](int seed) {
        Matrix matrix;
        for (int i = 0; i < 16; ++i)
            matrix[i] = float((i * seed + 3 * seed) % 11 - 5);
        return matrix;
    };
    const auto product = [](const Matrix& a, const Matrix& b) {
        Matrix result;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                result[4 * i + j] = 0;
                for (int k = 0; k < 4; ++k)
                    result[4 * i + j] += a[4 * i + k] * b[4 * k + j];
            }
        return result;
    };
    EXPECT_TRUE(koSessionUserPoseCommand().getHead() == Matrix::identity());
    EXPECT_TRUE(koSessionUserPoseCommand(1, whole(3)).getLeftHand() == whole(3));
    for (int seed = 1; seed < 8; ++seed) {
        koSessionUserPoseCommand pose(1, whole(seed));
        pose.setHeadTracker(whole(seed + 1));
        pose.setLeftHandTracker(whole(seed + 2), koHandTypes::Open);
        pose.setRightHandTracker(whole(seed + 3), koHandTypes::Open);
        EXPECT_TRUE(pose.getHead() == product(whole(seed + 1), whole(seed))) << seed;
        EXPECT_TRUE(pose.getLeftHand() == product(whole(seed + 2), whole(seed))) << seed;
        EXPECT_TRUE(pose.getRightHand() == product(whole(seed + 3), whole(seed))) << seed;
    }
}

TEST(PoseCommand, ExecutingAPoseEmitsPoseChanged)
{
    const koSessionUserPoseCommand pose(7, Matrix());
    std::vector<const koSessionUserPoseCommand*> received;
    QObject receiver;
    QObject::connect(&koSession::the(), &koSession::poseChanged, &receiver,
                     [&](const koSessionUserPoseCommand* command) { received.push_back(command); },
                     Qt::DirectConnection);
    pose.execute(nullptr);
    EXPECT_EQ(received, std::vector<const koSessionUserPoseCommand*>{&pose});
}
