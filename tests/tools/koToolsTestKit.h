#pragma once

// What the end-to-end tests of the programs share: a fixture that runs a
// kosession-server and kosession-client participants as child processes over
// loopback, reads what they print and kills whatever still runs when a test
// ends. The fault and soak tests stand on it too.

#include "koChildProcess.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <vector>

namespace koToolsTest {

using namespace std::chrono_literals;

// The bound of every wait for a program: generous, a healthy run needs a
// small part of it.
constexpr std::chrono::milliseconds waitLimit = 15s;

class ProgramTest : public ::testing::Test
{
protected:
    // Makes the QCoreApplication whose event loop reads the children, once.
    static void SetUpTestSuite();

    // Starts kosession-server on a free loopback port with the extra
    // arguments and waits for its session link (stored in `link`).
    koChildProcess& startServer(const QStringList& extra = QStringList());
    // Starts a kosession-client for `sessionLink` named `name`; does not wait.
    koChildProcess& startClient(const QString& name, const QString& sessionLink, const QStringList& extra = QStringList());
    // Starts a participant on `sessionLink` (the server's by default) and
    // waits until it has joined.
    koChildProcess& join(const QString& name, const QStringList& extra = QStringList(), QString sessionLink = QString());
    // The user number from a participant's "joined" line; 0 before it.
    static unsigned short userIdOf(const koChildProcess& participant);
    // Waits until `child` has printed a line matching `text`.
    static bool prints(koChildProcess& child, const QString& text, std::chrono::milliseconds timeout = waitLimit);
    // Whether `child` has already printed a line matching `text`.
    static bool printed(const koChildProcess& child, const QString& text);
    // Waits until `child` has exited and answers its exit status (-1: still running or killed).
    static int exitCodeOf(koChildProcess& child, std::chrono::milliseconds timeout = waitLimit);
    // A line typed into `from` reaches each of `to`.
    static void expectTalk(koChildProcess& from, std::initializer_list<koChildProcess*> to, const QString& text);
    // Each of `seers` sees user `id` leave.
    static void expectLeft(std::initializer_list<koChildProcess*> seers, unsigned short id);

    std::unique_ptr<koChildProcess> server;
    QString link;
    int port = 0;
    // Declared after the server, so they are killed before it.
    std::vector<std::unique_ptr<koChildProcess>> clients;
};

} // namespace koToolsTest
