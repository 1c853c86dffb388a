#pragma once

// Hand shapes of a participant's avatar. The session library forwards the
// value without interpreting it, so an application may use values of its own.
namespace koHandTypes {

enum HandPose : int {
    Relaxed = 0,
    Open = 1,
    Fist = 2,
    Pointing = 3,
    Pinch = 4,
    ThumbUp = 5,
};

} // namespace koHandTypes
