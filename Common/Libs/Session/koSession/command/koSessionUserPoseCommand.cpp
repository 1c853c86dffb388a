#include "koSessionUserPoseCommand.h"

#include "koSessionCommandContext.h"

#include <QDataStream>

namespace {

using Matrix = osg::TransformationMatrix<float>;
using Point3 = osg::Point<float, 3>;

// Matrices and points travel raw: the bytes as they lie in memory, so the
// floats go in the machine's own (little-endian IEEE-754) form.
void writeRaw(QDataStream& stream, const float* values, int count)
{
    stream.writeRawData(reinterpret_cast<const char*>(values), count * int(sizeof(float)));
}

void readRaw(QDataStream& stream, float* values, int count)
{
    stream.readRawData(reinterpret_cast<char*>(values), count * int(sizeof(float)));
}

void writeMatrix(QDataStream& stream, const Matrix& matrix)
{
    writeRaw(stream, matrix.getValues(), Matrix::size);
}

void readMatrix(QDataStream& stream, Matrix& matrix)
{
    readRaw(stream, matrix.getValues(), Matrix::size);
}

// A hand pose goes out as the low 16 bits of its value.
void writeHandPose(QDataStream& stream, koHandTypes::HandPose pose)
{
    stream << quint16(static_cast<int>(pose) & 0xffff);
}

void readHandPose(QDataStream& stream, koHandTypes::HandPose& pose)
{
    quint16 value = 0;
    stream >> value;
    pose = static_cast<koHandTypes::HandPose>(value);
}

} // namespace

koSessionUserPoseCommand::koSessionUserPoseCommand()
    : koSessionCommand(true, false, false)
{
}

koSessionUserPoseCommand::koSessionUserPoseCommand(unsigned short userId, const Matrix& camera)
    : koSessionCommand(true, false, false)
    , userId(userId)
    , camera(camera)
{
}

void koSessionUserPoseCommand::setHeadTracker(const Matrix& tracker)
{
    headTracker = tracker;
    parts |= HeadPart;
}

void koSessionUserPoseCommand::setLeftHandTracker(const Matrix& tracker, koHandTypes::HandPose pose)
{
    leftHandTracker = tracker;
    leftHandPose = pose;
    parts |= LeftHandPart;
}

void koSessionUserPoseCommand::setRightHandTracker(const Matrix& tracker, koHandTypes::HandPose pose)
{
    rightHandTracker = tracker;
    rightHandPose = pose;
    parts |= RightHandPart;
}

void koSessionUserPoseCommand::setPointer(const Point3& from, const Point3& to)
{
    pointerFrom = from;
    pointerTo = to;
    parts |= PointerPart;
}

Matrix koSessionUserPoseCommand::getHead() const
{
    return Matrix::product(headTracker, camera);
}

Matrix koSessionUserPoseCommand::getLeftHand() const
{
    return Matrix::product(leftHandTracker, camera);
}

Matrix koSessionUserPoseCommand::getRightHand() const
{
    return Matrix::product(rightHandTracker, camera);
}

void koSessionUserPoseCommand::execute(koSessionClient* client) const
{
    if (client)
        executeIn(*koSessionCommandContext::of(client));
}

void koSessionUserPoseCommand::executeIn(koSessionCommandContext& context) const
{
    context.showPose(*this);
}

void koSessionUserPoseCommand::putStateId(QDataStream& stream) const
{
    stream << quint16(userId);
}

// Payload: userId (2, big-endian), parts mask (4, big-endian), camera (64 raw);
// then, by mask bit: 1 head tracker (64 raw); 2 left tracker (64 raw) and pose
// (2, big-endian); 4 the same for the right hand; 8 pointer from and to (12 raw
// each). 70 bytes with no parts, 290 with all.
void koSessionUserPoseCommand::putData(QDataStream& stream) const
{
    stream << quint16(userId) << quint32(parts);
    writeMatrix(stream, camera);
    if (hasHead())
        writeMatrix(stream, headTracker);
    if (hasLeftHand()) {
        writeMatrix(stream, leftHandTracker);
        writeHandPose(stream, leftHandPose);
    }
    if (hasRightHand()) {
        writeMatrix(stream, rightHandTracker);
        writeHandPose(stream, rightHandPose);
    }
    if (hasPointer()) {
        writeRaw(stream, pointerFrom.getValues(), 3);
        writeRaw(stream, pointerTo.getValues(), 3);
    }
}

void koSessionUserPoseCommand::getData(QDataStream& stream)
{
    quint16 newUserId = 0;
    quint32 newParts = 0;
    stream >> newUserId >> newParts;
    userId = newUserId;
    parts = newParts;
    readMatrix(stream, camera);
    if (hasHead())
        readMatrix(stream, headTracker);
    if (hasLeftHand()) {
        readMatrix(stream, leftHandTracker);
        readHandPose(stream, leftHandPose);
    }
    if (hasRightHand()) {
        readMatrix(stream, rightHandTracker);
        readHandPose(stream, rightHandPose);
    }
    if (hasPointer()) {
        readRaw(stream, pointerFrom.getValues(), 3);
        readRaw(stream, pointerTo.getValues(), 3);
    }
}
