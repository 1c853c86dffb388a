#pragma once

#include "koHandTypes.h"
#include "koSessionCommand.h"
#include "koSessionExport.h"
#include "osgPoint.h"
#include "osgTransformationMatrix.h"

// One participant's avatar pose: camera always, head, hands and pointer when
// their bits are set. One state per participant, so a change list keeps only
// the newest pose of each; the maker does not get its own pose back.
//
// Executing it raises koSession::poseChanged on the executing thread; the
// command is a plain value otherwise and holds no locks.
class KOSESSION_EXPORT koSessionUserPoseCommand : public koSessionCommand
{
public:
    // Bits of the parts mask.
    enum Part : unsigned int {
        HeadPart = 1,
        LeftHandPart = 2,
        RightHandPart = 4,
        PointerPart = 8,
    };

    koSessionUserPoseCommand();
    koSessionUserPoseCommand(unsigned short userId, const osg::TransformationMatrix<float>& camera);

    void setHeadTracker(const osg::TransformationMatrix<float>& tracker);
    void setLeftHandTracker(const osg::TransformationMatrix<float>& tracker, koHandTypes::HandPose pose);
    void setRightHandTracker(const osg::TransformationMatrix<float>& tracker, koHandTypes::HandPose pose);
    void setPointer(const osg::Point<float, 3>& from, const osg::Point<float, 3>& to);

    bool isEmpty() const { return parts == 0; }
    bool hasHead() const { return (parts & HeadPart) != 0; }
    bool hasLeftHand() const { return (parts & LeftHandPart) != 0; }
    bool hasRightHand() const { return (parts & RightHandPart) != 0; }
    bool hasPointer() const { return (parts & PointerPart) != 0; }

    unsigned short getUserId() const { return userId; }
    const osg::TransformationMatrix<float>& getCamera() const { return camera; }
    const osg::TransformationMatrix<float>& getHeadTracker() const { return headTracker; }
    const osg::TransformationMatrix<float>& getLeftHandTracker() const { return leftHandTracker; }
    const osg::TransformationMatrix<float>& getRightHandTracker() const { return rightHandTracker; }
    const osg::Point<float, 3>& getPointerFrom() const { return pointerFrom; }
    const osg::Point<float, 3>& getPointerTo() const { return pointerTo; }
    // Meaningful only while the hand's bit is set.
    koHandTypes::HandPose getLeftHandPose() const { return leftHandPose; }
    koHandTypes::HandPose getRightHandPose() const { return rightHandPose; }

    // The tracker combined with the camera (tracker * camera), whatever the mask.
    osg::TransformationMatrix<float> getHead() const;
    osg::TransformationMatrix<float> getLeftHand() const;
    osg::TransformationMatrix<float> getRightHand() const;

    // context.showPose(*this): the participant's observer gets poseChanged;
    // execute does the same on a client.
    void execute(koSessionClient* client) const override;
    void executeIn(koSessionCommandContext& context) const override;
    void putStateId(QDataStream& stream) const override;
    void putData(QDataStream& stream) const override;
    // Reads exactly the blocks the mask announces; the others keep their values.
    // A short payload is not reported (check the stream's status).
    void getData(QDataStream& stream) override;

private:
    unsigned int parts = 0;
    unsigned short userId = 0;
    osg::TransformationMatrix<float> camera;
    osg::TransformationMatrix<float> headTracker;
    osg::TransformationMatrix<float> leftHandTracker;
    osg::TransformationMatrix<float> rightHandTracker;
    osg::Point<float, 3> pointerFrom;
    osg::Point<float, 3> pointerTo;
    // Unset until the hand is given; Relaxed keeps copies well defined.
    koHandTypes::HandPose leftHandPose = koHandTypes::Relaxed;
    koHandTypes::HandPose rightHandPose = koHandTypes::Relaxed;
};
