#include "koTestApplication.h"

#include <QApplication>

namespace koTest {

void ApplicationEnvironment::SetUp()
{
    static QApplication* application = nullptr;
    if (application)
        return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "kosession-test";
    static char* argv[] = {name, nullptr};
    application = new QApplication(argc, argv);
}

} // namespace koTest
