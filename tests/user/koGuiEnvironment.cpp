// Icons are painted on QPixmap, which needs an application (offscreen in the
// tests). One for the whole program, made before the first test.
#include "koTestApplication.h"

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

} // namespace
