#pragma once

// A widget application for a whole test program (icons paint on QPixmap, the
// scene question shows a message box), offscreen unless QT_QPA_PLATFORM says
// otherwise. A program that needs one registers it once:
//   const auto* env = ::testing::AddGlobalTestEnvironment(new koTest::ApplicationEnvironment);

#include <gtest/gtest.h>

namespace koTest {

class ApplicationEnvironment : public ::testing::Environment
{
public:
    // Makes the application on first use. It is kept until the process ends:
    // Qt 5's offscreen platform does not free its screen when the application
    // goes, which LeakSanitizer would report against every run.
    void SetUp() override;
};

} // namespace koTest
