#pragma once

// What the facade's tests share: a command class that records who executed
// it, a recorder of the facade's signals, the fixture that runs a server and
// puts the facade back afterwards, and a way to run one test case of this
// program in a child process.

#include "koServerTestKit.h"

#include "koSession.h"
#include "koSessionCommand.h"

#include <gtest/gtest.h>

#include <QMetaObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class koBoundSocketLink;
class koSessionClient;

namespace koFacadeTest {

using namespace std::chrono_literals;

// A text; not state-mergable, echoing unless told otherwise. Registered as
// "FacadeTestNote". Executing it adds an entry to the ExecutionLog.
class NoteCommand : public koSessionCommand
{
public:
    NoteCommand();
    explicit NoteCommand(const QString& text, bool echoing = true);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString text;
};

// Registered as "LoadScene", the name that marks a scene in a change list.
class LoadSceneCommand : public NoteCommand
{
public:
    using NoteCommand::NoteCommand;
};

unsigned int noteType();

// One execution of a NoteCommand.
struct Execution
{
    unsigned short executor = 0;  // the executing client's user identifier
    unsigned short changedBy = 0; // the maker, as the record carried it
    QString text;
    bool onMainThread = false;
    // What the facade's isReadyToUse answered while its own client executed
    // this note on the main thread; false otherwise.
    bool facadeReady = false;
};

// Every execution of a note in this process; any thread may add.
class ExecutionLog
{
public:
    static ExecutionLog& the();

    void reset(std::thread::id mainThread);
    std::thread::id getMainThread() const;
    void add(const Execution& execution);
    std::vector<Execution> all() const;
    // Texts that `executor` executed, in order.
    QStringList texts(unsigned short executor) const;
    bool has(unsigned short executor, const QString& text) const;
    // The first execution of `text` by `executor`; false when there is none.
    bool find(unsigned short executor, const QString& text, Execution& out) const;

private:
    // Guards entries and mainThread; taken by every operation.
    mutable std::mutex mutex;
    std::vector<Execution> entries;
    std::thread::id mainThread;
};

// A pose as the facade's poseChanged delivered it.
struct PoseSeen
{
    unsigned short userId = 0;
    float marker = 0.0f; // camera value 12 (the x translation), set per test
    bool hasHead = false;
    bool onMainThread = false;
};

// Records the facade's signals while it lives. Roster signals are raised on
// the main thread by whichever client executes a roster, and every client of
// this process shares the one facade: they are recorded only while the
// facade itself executes (pumpFacade). Poses arrive on receiving threads and
// are all recorded.
class SignalRecorder
{
public:
    SignalRecorder();
    ~SignalRecorder();
    SignalRecorder(const SignalRecorder&) = delete;
    SignalRecorder& operator=(const SignalRecorder&) = delete;

    // "added <id> <name>", "changed <id> <name>", "removed <id>", in order.
    QStringList roster() const;
    void clearRoster();
    std::vector<PoseSeen> poses() const;
    int poseCount(unsigned short userId, float marker) const;

    // Calls the facade's executeChanges until `condition` holds; bounded.
    bool pumpFacade(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

private:
    void addRoster(const QString& event);

    // Guards rosterEvents, poseEvents and facadeExecuting; taken by the
    // slots (main thread for the roster, receiving threads for poses) and
    // by the test's readers.
    mutable std::mutex mutex;
    QStringList rosterEvents;
    std::vector<PoseSeen> poseEvents;
    bool facadeExecuting = false;
    std::vector<QMetaObject::Connection> connections;
};

// A running server, the facade's signals recorded and the execution log
// reset. TearDown leaves the facade (when it is active), then stops the
// server, then disconnects the recorder, so that no receiving thread is left
// to call into it.
class FacadeTest : public ::testing::Test
{
protected:
    using ClientPtr = std::shared_ptr<koSessionClient>;

    void SetUp() override;
    void TearDown() override;

    // Joins the facade to this test's server with `link`.
    void joinFacade(const QString& name);
    // A participant that is not the facade.
    ClientPtr joinClient(const QString& name);
    // Executes on the facade until its roster holds `count` records and its
    // join has completed.
    bool facadeSees(std::size_t count);

    std::unique_ptr<koServerTest::TestServer> host;
    // A link to `host`, made once: every link made anew has its own identifier.
    QString link;
    std::unique_ptr<SignalRecorder> recorder;
};

// A TCP relay between participants and a server, so that a test can cut a
// participant's links while the server runs on. Connections made after a
// cut are relayed again.
class LinkCutter
{
public:
    explicit LinkCutter(int serverPort);
    // Stops accepting, cuts every relayed connection and joins every thread.
    ~LinkCutter();
    LinkCutter(const LinkCutter&) = delete;
    LinkCutter& operator=(const LinkCutter&) = delete;

    // A session link (without password) that leads through the relay.
    QString link() const;
    // Shuts down both ends of every connection relayed so far.
    void cutAll();

private:
    class Link;

    void acceptLoop();
    void relay(const std::shared_ptr<Link>& from, const std::shared_ptr<Link>& to);
    std::vector<std::thread> takeThreads();

    const int serverPort;
    std::unique_ptr<koBoundSocketLink> listener;
    // Guards links and relays; taken by the accept thread, cutAll and the
    // destructor. Never held while joining a thread.
    std::mutex mutex;
    std::vector<std::shared_ptr<Link>> links;
    std::vector<std::thread> relays;
    std::thread acceptThread;
};

// Names of the records of `users`, in order.
QStringList namesOf(const std::vector<koSessionUser>& users);

// Runs the test case `testName` of this program in a child process with
// `environment` added, and waits for it (bounded; the child is killed when it
// overruns). Returns its exit status, or -1 when it did not exit normally.
int runChildCase(const std::string& testName, const std::vector<std::string>& environment,
                 std::chrono::seconds timeout = std::chrono::seconds(60));

} // namespace koFacadeTest
