// Icons are painted on QPixmap, which needs a QGuiApplication (offscreen in
// the tests). One for the whole program, made before the first test.
#include <QGuiApplication>

#include <gtest/gtest.h>

namespace {

// Kept until the process ends rather than destroyed after the last test: Qt
// 5's offscreen platform does not free its screen when the application goes,
// which LeakSanitizer would report against every run.
QGuiApplication* application = nullptr;

class GuiEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "test_user";
        static char* argv[] = {name, nullptr};
        // The tests never need a display, wherever they are started from.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!application)
            application = new QGuiApplication(argc, argv);
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

} // namespace

