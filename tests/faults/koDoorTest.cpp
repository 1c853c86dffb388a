// The door of the server under attack: connections that never finish their
// handshake, floods from one address, strangers without the session link,
// forged second links, a wrapped identifier counter and running out of file
// descriptors. A holder of the link must still get in, promptly.
#include "koServerTestKit.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionRelay.h"
#include "koSessionWire.h"

#include "koNetStream.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using namespace koServerTest;

// Generous: before, one slow connection kept everybody out for good.
constexpr auto JoinBound = std::chrono::seconds(3);

// A raw TCP connection to the loopback server from `source` (any 127/8 address).
int rawConnect(const char* source, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &address.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Descriptors held open by the attack; closed when it ends.
struct Sockets
{
    std::vector<int> fds;
    ~Sockets()
    {
        for (int fd : fds)
            ::close(fd);
    }
};

void raiseFileLimit(rlim_t wanted)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

QString sessionIdOf(const QString& link)
{
    QString address;
    QString sessionId;
    koSession::tryDecryptSessionLink(QString(), link, address, sessionId);
    return sessionId;
}

struct Attack
{
    const char* what;
    const char* source;
    int silent;   // connections that send nothing
    int dripping; // connections that send one header byte every 200 ms
};

using DoorTest = ProcessTest;

TEST_F(DoorTest, HolderOfTheLinkJoinsBehindHostileConnections)
{
    const Attack attacks[] = {
        {"10 silent and 3 dripping from the participant's address", "127.0.0.1", 10, 3},
        {"1000 held from another address", "127.0.0.2", 1000, 0},
    };
    raiseFileLimit(4096);
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.what);
        TestServer host;
        Sockets held;
        for (int i = 0; i < attack.silent + attack.dripping; ++i) {
            const int fd = rawConnect(attack.source, host.port());
            ASSERT_GE(fd, 0) << "connection " << i;
            held.fds.push_back(fd);
        }
        std::atomic<bool> done{false};
        std::thread dripper([&] {
            const std::string line = tunnelLine();
            for (std::size_t at = 0; !done && at < line.size(); ++at) {
                for (int i = attack.silent; i < attack.silent + attack.dripping; ++i)
                    (void)::send(held.fds[std::size_t(i)], &line[at], 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        const auto started = std::chrono::steady_clock::now();
        try {
            EXPECT_TRUE(join(host.link(), QStringLiteral("Alice"))->isConnected());
            EXPECT_LT(std::chrono::steady_clock::now() - started, JoinBound);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "join failed: " << e.what();
        }
        done = true;
        dripper.join();
    }
}

TEST_F(DoorTest, WrongSessionIsClosedAfterTheTunnelLineWhateverItAsks)
{
    TestServer host;
    const QString link = host.link();
    host.server.setSessionId(sessionIdOf(link));
    const std::string right = koSessionWire::sessionHash(sessionIdOf(link)).toStdString();
    std::string oneDigitOff = right;
    oneDigitOff[10] = oneDigitOff[10] == '0' ? '1' : '0';
    const std::string otherSession = koSessionWire::sessionHash(QStringLiteral("0123456789")).toStdString();
    const std::string version = koVersionInfo::the().getVersionString();
    const struct
    {
        std::string line;
        std::uint32_t request;
    } cases[] = {
        {"CONNECT session_" + oneDigitOff + ".version_" + version + ".join.KOVASessionServer HTTP/1.1\r\n\r\n",
         koSessionWire::RequestJoin},
        {"CONNECT session_" + otherSession + ".version_" + version + ".force.KOVASessionServer HTTP/1.1\r\n\r\n",
         koSessionWire::RequestStop},
        {"CONNECT session_" + QString::fromStdString(right).toUpper().toStdString() + ".version_" + version
             + ".join.KOVASessionServer HTTP/1.1\r\n\r\n",
         koSessionWire::RequestUploadScene},
        {"CONNECT session_" + right + "\r\n\r\n", koSessionWire::RequestDownloadScene},
        {"GET / HTTP/1.1\r\n\r\n", koSessionWire::RequestAsyncStream},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        auto raw = connectTcp(host.port());
        raw->send(entry.line.data(), entry.line.size());
        // The request goes out unciphered: the server must not even look.
        try {
            raw->send(&entry.request, sizeof entry.request);
        } catch (const std::exception&) {
        }
        EXPECT_TRUE(waitClosed(raw, std::chrono::seconds(5)));
    }
    // A stranger with a link of another session is refused on the client's side too.
    EXPECT_ANY_THROW(join(koSession::createSessionLink(QStringLiteral("127.0.0.1:%1").arg(host.port()), QString()),
                          QStringLiteral("Mallory")));
    auto alice = join(link, QStringLiteral("Alice"));
    EXPECT_TRUE(alice->isConnected());
    EXPECT_TRUE(pumpUntil({alice.get()}, [&] { return rosterIds(*alice).size() == 1; }));
}

TEST_F(DoorTest, IdentifierInUseIsNeverIssuedAgainAfterTheWrap)
{
    TestServer host;
    koSessionRelay::setNextUserId(1);
    auto first = join(host.link(), QStringLiteral("One"));
    auto second = join(host.link(), QStringLiteral("Two"));
    koSessionRelay::setNextUserId(0xffff);
    auto last = join(host.link(), QStringLiteral("Last"));
    auto wrapped = join(host.link(), QStringLiteral("Wrapped"));
    EXPECT_EQ(first->getUserId(), 1);
    EXPECT_EQ(second->getUserId(), 2);
    EXPECT_EQ(last->getUserId(), 0xffff);
    EXPECT_EQ(wrapped->getUserId(), 3);
    EXPECT_TRUE(pumpUntil({wrapped.get()}, [&] { return rosterIds(*wrapped).size() == 4; }));
}

// A participant joined by hand over IPv6, so that its second link is not yet
// attached and the test can try to take it from elsewhere.
TEST_F(DoorTest, SecondLinkGoesOnlyToItsOwnParticipantAndOnlyOnce)
{
    TestServer host;
    const auto connectFrom = [&](const std::string& address) { return connectCiphered(host.port(), address); };
    const auto askSecondLink = [&](const std::string& address, unsigned short userId) {
        auto link = connectFrom(address);
        koNetStream stream(link);
        koSessionWire::putRequest(stream, koSessionWire::RequestAsyncStream);
        stream.putValue(userId);
        stream.flush();
        return link;
    };
    RawParticipant victim = rawJoin(connectFrom("::1"), QStringLiteral("Victim"));
    const unsigned short id = victim.user.getId();

    EXPECT_TRUE(waitClosed(askSecondLink("127.0.0.1", id))) << "from another address";
    EXPECT_TRUE(waitClosed(askSecondLink("::1", static_cast<unsigned short>(id + 1)))) << "nobody's identifier";
    // Kept open: closing it would end the participant, and the session with it.
    auto own = askSecondLink("::1", id);
    koNetStream ownStream(own);
    EXPECT_NO_THROW(ownStream.recvResult()) << "the participant's own";
    EXPECT_TRUE(waitClosed(askSecondLink("::1", id))) << "a second time";
}

// Runs in a child process, which lowers its own descriptor limit so far that
// the server runs out while accepting; the child's exit code is the verdict.
void joinAfterRunningOutOfDescriptors()
{
    TestServer host;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const int used = ::dup(0);
    ::close(used);
    limit.rlim_cur = rlim_t(used + 40);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    {
        Sockets held;
        for (int i = 0; i < 30; ++i)
            held.fds.push_back(rawConnect("127.0.0.2", host.port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    try {
        auto client = join(host.link(), QStringLiteral("Alice"));
        std::_Exit(client->isConnected() ? 0 : 1);
    } catch (const std::exception&) {
        std::_Exit(2);
    }
}

TEST_F(DoorTest, AcceptingSurvivesRunningOutOfDescriptors)
{
#ifdef KOSESSION_SANITIZE_UNDEFINED
    // UBSan reads a vtable it has not checked yet through a pipe; with no
    // descriptor left it calls the object invalid.
    GTEST_SKIP() << "UBSan's vptr check needs a free descriptor";
#endif
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(joinAfterRunningOutOfDescriptors(), ::testing::ExitedWithCode(0), "");
}

} // namespace
