#pragma once

// What the end-to-end tests of the programs share: the paths of the
// programs, a Qt application for the child processes' events, and a fixture
// that runs a kosession-server and kosession-client participants as child
// processes and kills whatever still runs when a test ends.

#include "koChildProcess.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>
#include <vector>

namespace koToolsTest {

using namespace std::chrono_literals;

// The bound of every wait for a program: generous, a healthy run needs a
// small part of it.
constexpr std::chrono::milliseconds waitLimit = 15s;

QString serverProgram();
QString clientProgram();
QString demoProgram();

// The QCoreApplication whose event loop reads the children; made once.
void ensureApplication();

QRegularExpression pattern(const QString& text);

class ProgramTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite();

    // Starts kosession-server on a free loopback port with the extra
    // arguments and waits for its session link (stored in `link`).
    koChildProcess& startServer(const QStringList& extra = QStringList());
    // Starts a kosession-client for `sessionLink` named `name`; does not wait.
    koChildProcess& startClient(const QString& name, const QString& sessionLink, const QStringList& extra = QStringList());
    // Starts a participant on the server's link and waits until it has joined.
    koChildProcess& join(const QString& name, const QStringList& extra = QStringList());
    // The user number from a participant's "joined" line; 0 before it.
    static unsigned short userIdOf(const koChildProcess& participant);
    // Waits until `child` has printed a line matching `text`.
    static bool prints(koChildProcess& child, const QString& text, std::chrono::milliseconds timeout = waitLimit);
    // Waits until `child` has exited and answers its exit status (-1: still running or killed).
    static int exitCodeOf(koChildProcess& child, std::chrono::milliseconds timeout = waitLimit);

    std::unique_ptr<koChildProcess> server;
    QString link;
    int port = 0;
    // Declared after the server, so they are killed before it.
    std::vector<std::unique_ptr<koChildProcess>> clients;
};

} // namespace koToolsTest
