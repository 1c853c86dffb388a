#pragma once

// What the fault tests share: notes that participants push and count, and
// the hostile connections that a server must shrug off while its
// participants keep working.

#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class koSessionClient;
class koSocketLink;

namespace koFaultTest {

using namespace std::chrono_literals;
using koTest::randomBytes;

// Notes are the shared text command (registered as "FaultNote"): not
// mergable, not echoing, so every note a participant pushes reaches each
// other participant once; the executions land in koTest::ExecutionLog, which
// the test resets. A note's text is its number, then filler.
koTest::TextCommand makeNote(qint32 number, int fillerBytes);
// The note numbers `client` has executed so far, in order.
std::vector<qint32> notesOf(koSessionClient& client);
bool hasNote(koSessionClient& client, qint32 number);

// Reads whatever the server still sends on `link` until it closes the link;
// true when it closed within `limit` (false when the wait ran out). `why`
// gets the text of the failure that ended the reading.
bool drainUntilClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds limit, std::string& why);

// Hostile connections against the TCP server on `port`. Each returns what a
// person reading a failure needs: what it did and what it saw. None of them
// throws; each closes its connection before it returns.
struct HostileOutcome
{
    std::string what;
    bool asExpected = false; // the server reacted as the case requires
    std::string detail;
};

// Connects and sends nothing; answers whether the server dropped the
// connection by itself within `limit`, and after how long.
HostileOutcome silentConnection(int port, std::chrono::milliseconds limit, double& droppedAfterSeconds);
// Sends a tunnel header that never ends; the server must drop it after its
// header limit. Reports how many bytes went out before the drop.
HostileOutcome endlessTunnelHeader(int port);
// Random bytes in place of the tunnel header, in place of the key exchange,
// and after each request type (through the cipher); `rounds` seeds each.
std::vector<HostileOutcome> randomAfterEachRequest(int port, int rounds);
// Joins properly, then sends random bytes where change records belong.
HostileOutcome joinThenGarbage(int port, std::uint32_t seed);
// Opens `count` connections at once, then drops them all at once.
HostileOutcome openAndDrop(int port, int count);

} // namespace koFaultTest
