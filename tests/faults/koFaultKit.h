#pragma once

// What the in-process fault tests share: notes that participants push and
// count, and a session in which Alice and Bob keep talking while a test
// attacks the server.

#include "koServerTestKit.h"
#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"

#include "koSocketLink.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace koFaultTest {

using namespace koServerTest;
using koTest::randomBytes;

// Notes are the shared text command, not echoing, so every note a participant
// pushes reaches each other participant once. A note's text is its number,
// then filler (two bytes a character on the wire).
inline const koSessionCommandFactory::Register<koTest::TextCommand> registerNote("FaultNote");

inline koTest::TextCommand makeNote(qint32 number, int fillerBytes)
{
    return koTest::TextCommand(QString::number(number) + QLatin1Char(' ') + QString(fillerBytes / 2, QLatin1Char('f')),
                               false);
}

// The note numbers `client` has executed so far, in order.
inline std::vector<qint32> notesOf(koSessionClient& client)
{
    std::vector<qint32> numbers;
    for (const QString& text : koTest::ExecutionLog::the().texts(client.getUserId()))
        numbers.push_back(text.section(QLatin1Char(' '), 0, 0).toInt());
    return numbers;
}

inline bool hasNote(koSessionClient& client, qint32 number)
{
    const std::vector<qint32> numbers = notesOf(client);
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

// Reads whatever the server still sends on `link` until it closes the link;
// true when it closed within `limit`. `why` gets the text of the failure that
// ended the reading.
inline bool drainUntilClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds limit, std::string& why)
{
    link->setRecvTimeout(std::chrono::duration<double>(limit).count());
    try {
        char byte = 0;
        for (;;)
            link->read(&byte, 1);
    } catch (const std::exception& e) {
        why = e.what();
        return why.find("timed out") == std::string::npos;
    }
}

// Alice and Bob joined to a fresh server on this process, and every log line.
class FaultSessionTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        alice = join(QStringLiteral("Alice"));
        bob = join(QStringLiteral("Bob"));
        ASSERT_TRUE(rosterSettles(2));
    }

    // The participants leave before the server goes.
    void TearDown() override
    {
        alice.reset();
        bob.reset();
        SessionTest::TearDown();
    }

    // Waits until Alice and Bob both list `count` participants, none of them `gone`.
    bool rosterSettles(std::size_t count, unsigned short gone = 0, std::chrono::milliseconds timeout = 10s)
    {
        return pumpUntil({alice.get(), bob.get()}, [&] {
            for (const auto& client : {alice, bob}) {
                const auto ids = rosterIds(*client);
                if (ids.size() != count || std::find(ids.begin(), ids.end(), gone) != ids.end())
                    return false;
            }
            return true;
        }, timeout);
    }

    // A note from each of Alice and Bob reaches the other.
    void expectNotesPass()
    {
        const qint32 number = ++notes;
        alice->push(makeNote(number, 1000));
        bob->push(makeNote(-number, 1000));
        EXPECT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] { return hasNote(*bob, number) && hasNote(*alice, -number); }))
            << "note " << number;
    }

    LogCapture log;
    ClientPtr alice;
    ClientPtr bob;
    qint32 notes = 0;
};

} // namespace koFaultTest
