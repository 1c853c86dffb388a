// Registers the library's own commands when the library is loaded. One
// translation unit, so the registration order is the order written here.
#include "koSessionCommandFactory.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"

namespace {

const koSessionCommandFactory::Register<koSessionUserInfoCommand> registerUserInfo("UpdateInfo");
const koSessionCommandFactory::Register<koSessionUserPoseCommand> registerUserPose("UpdatePose");
const koSessionCommandFactory::Register<koSessionUsersCommand> registerUsers("UpdateUsers");

} // namespace
