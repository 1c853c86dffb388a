#include "koTestBytes.h"

#include "koSessionChange.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"

#include <QByteArray>
#include <QDataStream>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <typeinfo>

namespace {

using Matrix = osg::TransformationMatrix<float>;
using Point3 = osg::Point<float, 3>;

// Small whole numbers, so products are exact in single precision.
Matrix wholeMatrix(int seed)
{
    Matrix matrix;
    for (int i = 0; i < 16; ++i)
        matrix[i] = float((i * seed + 3 * seed) % 11 - 5);
    return matrix;
}

Matrix randomMatrix(std::mt19937& random)
{
    std::uniform_real_distribution<float> value(-10.0f, 10.0f);
    Matrix matrix;
    for (int i = 0; i < 16; ++i)
        matrix[i] = value(random);
    return matrix;
}

// R[4i + j] = sum over k of a[4i + k] * b[4k + j], summed in the plain order.
Matrix tripleLoopProduct(const Matrix& a, const Matrix& b)
{
    Matrix result;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += double(a[4 * i + k]) * double(b[4 * k + j]);
            result[4 * i + j] = float(sum);
        }
    return result;
}

void expectMatrix(const Matrix& expected, const Matrix& actual, float tolerance = 0)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "m" << i;
}

koSessionUserPoseCommand makeFullPose()
{
    koSessionUserPoseCommand pose(0x0102, wholeMatrix(1));
    pose.setHeadTracker(wholeMatrix(2));
    pose.setLeftHandTracker(wholeMatrix(3), koHandTypes::Fist);
    pose.setRightHandTracker(wholeMatrix(4), static_cast<koHandTypes::HandPose>(0x12345));
    pose.setPointer(Point3(1.5f, -2.25f, 3.0f), Point3(-0.5f, 100.0f, 1e-3f));
    return pose;
}

} // namespace

TEST(PoseCommand, EmptyPosePayloadIsSeventyBytes)
{
    const koSessionUserPoseCommand pose(0xa1b2, wholeMatrix(5));
    EXPECT_TRUE(pose.isEmpty());
    QByteArray expected;
    koTest::appendBigEndian(expected, 0xa1b2, 2);
    koTest::appendBigEndian(expected, 0, 4);
    koTest::appendFloatsLittleEndian(expected, wholeMatrix(5).getValues(), 16);
    const QByteArray payload = koTest::payloadOf(pose);
    EXPECT_EQ(payload.size(), 70);
    EXPECT_EQ(payload.toHex(), expected.toHex());
}

TEST(PoseCommand, FullPosePayloadIsTwoHundredNinetyBytes)
{
    const koSessionUserPoseCommand pose = makeFullPose();
    QByteArray expected;
    koTest::appendBigEndian(expected, 0x0102, 2);
    koTest::appendBigEndian(expected, 1 | 2 | 4 | 8, 4);
    koTest::appendFloatsLittleEndian(expected, wholeMatrix(1).getValues(), 16);
    koTest::appendFloatsLittleEndian(expected, wholeMatrix(2).getValues(), 16);
    koTest::appendFloatsLittleEndian(expected, wholeMatrix(3).getValues(), 16);
    koTest::appendBigEndian(expected, koHandTypes::Fist, 2);
    koTest::appendFloatsLittleEndian(expected, wholeMatrix(4).getValues(), 16);
    koTest::appendBigEndian(expected, 0x2345, 2); // the low 16 bits of the pose
    const float pointer[] = {1.5f, -2.25f, 3.0f, -0.5f, 100.0f, 1e-3f};
    koTest::appendFloatsLittleEndian(expected, pointer, 6);

    const QByteArray payload = koTest::payloadOf(pose);
    EXPECT_EQ(payload.size(), 290);
    EXPECT_EQ(payload.toHex(), expected.toHex());
}

TEST(PoseCommand, PayloadRoundTripPerPart)
{
    struct Row
    {
        const char* what;
        unsigned int parts;
        int size;
    };
    const Row rows[] = {{"head", 1, 134}, {"left hand", 2, 136}, {"right hand", 4, 136},
                        {"pointer", 8, 94}, {"all", 15, 290}};
    const koSessionUserPoseCommand full = makeFullPose();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        koSessionUserPoseCommand pose(9, wholeMatrix(6));
        if (row.parts & 1)
            pose.setHeadTracker(full.getHeadTracker());
        if (row.parts & 2)
            pose.setLeftHandTracker(full.getLeftHandTracker(), koHandTypes::Pinch);
        if (row.parts & 4)
            pose.setRightHandTracker(full.getRightHandTracker(), static_cast<koHandTypes::HandPose>(999));
        if (row.parts & 8)
            pose.setPointer(full.getPointerFrom(), full.getPointerTo());
        const QByteArray payload = koTest::payloadOf(pose);
        EXPECT_EQ(payload.size(), row.size);

        koSessionUserPoseCommand read;
        EXPECT_EQ(koTest::readPayload(read, payload), QDataStream::Ok);
        EXPECT_EQ(read.getUserId(), 9);
        EXPECT_EQ(read.hasHead(), bool(row.parts & 1));
        EXPECT_EQ(read.hasLeftHand(), bool(row.parts & 2));
        EXPECT_EQ(read.hasRightHand(), bool(row.parts & 4));
        EXPECT_EQ(read.hasPointer(), bool(row.parts & 8));
        EXPECT_TRUE(read.getCamera() == wholeMatrix(6));
        EXPECT_TRUE(read.getHeadTracker() == pose.getHeadTracker());
        EXPECT_TRUE(read.getLeftHandTracker() == pose.getLeftHandTracker());
        EXPECT_TRUE(read.getRightHandTracker() == pose.getRightHandTracker());
        EXPECT_TRUE(read.getPointerFrom() == pose.getPointerFrom());
        EXPECT_TRUE(read.getPointerTo() == pose.getPointerTo());
        if (row.parts & 2) {
            EXPECT_EQ(read.getLeftHandPose(), koHandTypes::Pinch);
        }
        if (row.parts & 4) {
            EXPECT_EQ(int(read.getRightHandPose()), 999);
        }
        EXPECT_EQ(koTest::payloadOf(read), payload);
    }
}

TEST(PoseCommand, PointerOnlyPoseLeavesTrackersUntouched)
{
    koSessionUserPoseCommand pointerOnly(4, wholeMatrix(7));
    pointerOnly.setPointer(Point3(1, 2, 3), Point3(4, 5, 6));

    koSessionUserPoseCommand target(1, wholeMatrix(1));
    target.setHeadTracker(wholeMatrix(2));
    target.setLeftHandTracker(wholeMatrix(3), koHandTypes::Open);
    target.setRightHandTracker(wholeMatrix(4), koHandTypes::Pointing);
    EXPECT_EQ(koTest::readPayload(target, koTest::payloadOf(pointerOnly)), QDataStream::Ok);

    EXPECT_EQ(target.getUserId(), 4);
    EXPECT_TRUE(target.getCamera() == wholeMatrix(7));
    EXPECT_FALSE(target.hasHead());
    EXPECT_FALSE(target.hasLeftHand());
    EXPECT_FALSE(target.hasRightHand());
    EXPECT_TRUE(target.hasPointer());
    EXPECT_TRUE(target.getHeadTracker() == wholeMatrix(2));
    EXPECT_TRUE(target.getLeftHandTracker() == wholeMatrix(3));
    EXPECT_TRUE(target.getRightHandTracker() == wholeMatrix(4));
    EXPECT_EQ(target.getLeftHandPose(), koHandTypes::Open);
    EXPECT_TRUE(target.getPointerTo() == Point3(4, 5, 6));
}

TEST(PoseCommand, ShortPayloadIsNotReportedButStopsTheStream)
{
    const QByteArray payload = koTest::payloadOf(makeFullPose());
    for (const int length : {0, 5, 69, 100, 289}) {
        SCOPED_TRACE(length);
        koSessionUserPoseCommand read;
        EXPECT_NE(koTest::readPayload(read, payload.left(length)), QDataStream::Ok);
    }
}

TEST(PoseCommand, CombinedMatricesAreTrackerTimesCamera)
{
    koSessionUserPoseCommand fresh;
    expectMatrix(Matrix::identity(), fresh.getHead());

    koSessionUserPoseCommand identityTracker(1, wholeMatrix(3));
    expectMatrix(wholeMatrix(3), identityTracker.getHead());
    expectMatrix(wholeMatrix(3), identityTracker.getLeftHand());

    koSessionUserPoseCommand identityCamera;
    identityCamera.setHeadTracker(wholeMatrix(4));
    expectMatrix(wholeMatrix(4), identityCamera.getHead());

    // Whole numbers: exact whatever the order of the sums.
    const koSessionUserPoseCommand pose = makeFullPose();
    expectMatrix(tripleLoopProduct(wholeMatrix(2), wholeMatrix(1)), pose.getHead());
    expectMatrix(tripleLoopProduct(wholeMatrix(3), wholeMatrix(1)), pose.getLeftHand());
    expectMatrix(tripleLoopProduct(wholeMatrix(4), wholeMatrix(1)), pose.getRightHand());
    EXPECT_FALSE(pose.getHead() == pose.getLeftHand());

    std::mt19937 random(1234);
    for (int round = 0; round < 100; ++round) {
        const Matrix camera = randomMatrix(random);
        const Matrix tracker = randomMatrix(random);
        koSessionUserPoseCommand randomPose(1, camera);
        randomPose.setRightHandTracker(tracker, koHandTypes::Relaxed);
        expectMatrix(tripleLoopProduct(tracker, camera), randomPose.getRightHand(), 1e-3f);
    }
}

TEST(PoseCommand, StateIdentifierIsTypeAndUser)
{
    const unsigned int type = koSessionCommandFactory::the().getType("UpdatePose");
    const koSessionChange first(koSessionUserPoseCommand(0x0a0b, wholeMatrix(1)), 0x0a0b);
    const koSessionChange again(makeFullPose(), 0x0a0b);
    const koSessionChange other(koSessionUserPoseCommand(0x0a0c, wholeMatrix(1)), 0x0a0b);

    QByteArray user;
    koTest::appendBigEndian(user, 0x0a0b, 2);
    EXPECT_EQ(first.getStateId().toHex(), koTest::stateIdOf(type, user).toHex());
    EXPECT_EQ(first.getStateId().size(), 6);
    // The key is the pose's own user, not the maker of the change.
    koSessionUserPoseCommand sameUser(0x0a0b, wholeMatrix(9));
    EXPECT_EQ(koSessionChange(sameUser, 77).getStateId(), first.getStateId());
    EXPECT_NE(again.getStateId(), first.getStateId()); // makeFullPose is user 0x0102
    EXPECT_NE(other.getStateId(), first.getStateId());

    EXPECT_TRUE(first.isStateMergable());
    EXPECT_FALSE(first.isEchoing());
    EXPECT_FALSE(first.isTransient());
    EXPECT_FALSE(first.isServerCommand());
}

TEST(PoseCommand, ChangeRecordRebuildsThePose)
{
    const koSessionChange change(makeFullPose(), 0x0102);
    const auto rebuilt = std::dynamic_pointer_cast<koSessionUserPoseCommand>(change.getCommand());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(koTest::payloadOf(*rebuilt), koTest::payloadOf(makeFullPose()));
}

TEST(BuiltinCommands, RegisteredInOrderAndCreatedByType)
{
    auto& factory = koSessionCommandFactory::the();
    const QStringList names = factory.getTypeNames();
    ASSERT_GE(names.size(), 3);
    EXPECT_EQ(names.mid(0, 3), (QStringList{"UpdateInfo", "UpdatePose", "UpdateUsers"}));

    const auto pose = factory.create(factory.getType("UpdatePose"));
    ASSERT_TRUE(pose);
    EXPECT_EQ(typeid(*pose), typeid(koSessionUserPoseCommand));
    const auto info = factory.create(factory.getType("UpdateInfo"));
    ASSERT_TRUE(info);
    EXPECT_EQ(typeid(*info), typeid(koSessionUserInfoCommand));
    const auto users = factory.create(factory.getType("UpdateUsers"));
    ASSERT_TRUE(users);
    EXPECT_EQ(typeid(*users), typeid(koSessionUsersCommand));
}
