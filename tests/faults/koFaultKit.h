#pragma once

// What the in-process fault tests share: notes that participants push and
// count, and a session in which Alice and Bob keep talking while a test
// attacks the server.

#include "koServerTestKit.h"
#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSessionClient.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace koFaultTest {

using namespace koServerTest;
using koTest::randomBytes;

// Notes are the shared text command (registered as "FaultNote"): not
// echoing, so every note a participant pushes reaches each other participant
// once. A note's text is its number, then filler.
koTest::TextCommand makeNote(qint32 number, int fillerBytes);
// The note numbers `client` has executed so far, in order.
std::vector<qint32> notesOf(koSessionClient& client);
bool hasNote(koSessionClient& client, qint32 number);

// Reads whatever the server still sends on `link` until it closes the link;
// true when it closed within `limit`. `why` gets the text of the failure that
// ended the reading.
bool drainUntilClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds limit, std::string& why);

// Alice and Bob joined to a fresh server on this process, and every log line.
class FaultSessionTest : public SessionTest
{
protected:
    void SetUp() override;
    // Waits until Alice and Bob both list `count` participants, none of them `gone`.
    bool rosterSettles(std::size_t count, unsigned short gone = 0, std::chrono::milliseconds timeout = 10s);
    // A note from each of Alice and Bob reaches the other.
    void expectNotesPass();

    LogCapture log;
    ClientPtr alice;
    ClientPtr bob;
    qint32 notes = 0;
};

} // namespace koFaultTest
