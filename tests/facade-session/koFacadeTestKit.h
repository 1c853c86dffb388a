#pragma once

// What the facade's tests share: the recording commands, a recorder of the
// facade's signals, the fixture that runs a server and
// puts the facade back afterwards, and a way to run one test case of this
// program in a child process.

#include "koServerTestKit.h"
#include "koTestExecutionLog.h"
#include "koTestRosterSignals.h"

#include "koSession.h"

#include <gtest/gtest.h>

#include <QMetaObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class koSessionClient;

namespace koFacadeTest {

using namespace std::chrono_literals;

// The recording commands: NoteCommand is registered as "FacadeTestNote",
// LoadSceneCommand as "LoadScene". The log's entries carry facadeReady: what
// the facade's isReadyToUse answered while its own client executed the
// command on the main thread; false otherwise.
using NoteCommand = koTest::TextCommand;
using koTest::Execution;
using koTest::ExecutionLog;
using koTest::LoadSceneCommand;

unsigned int noteType();

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
    QStringList roster() const { return rosterSignals.events(); }
    void clearRoster() { rosterSignals.take(); }
    std::vector<PoseSeen> poses() const;
    int poseCount(unsigned short userId, float marker) const;

    // Calls the facade's executeChanges until `condition` holds; bounded.
    bool pumpFacade(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

private:
    // Set by pumpFacade on the main thread, read by the roster slots there.
    std::atomic<bool> facadeExecuting{false};
    koTest::RosterSignals rosterSignals{[this] { return facadeExecuting.load(); }};
    // Guards poseEvents; taken by the pose slot (receiving threads) and by
    // the test's readers.
    mutable std::mutex mutex;
    std::vector<PoseSeen> poseEvents;
    QMetaObject::Connection poseConnection;
};

// A running server, the facade's signals recorded and the execution log
// reset. TearDown leaves the facade (when it is active), then stops the
// server, then disconnects the recorder, so that no receiving thread is left
// to call into it.
class FacadeTest : public koServerTest::SessionTest
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Joins the facade to this test's server with `link`.
    void joinFacade(const QString& name);
    // A participant that is not the facade.
    ClientPtr joinClient(const QString& name) { return koServerTest::join(link, name); }
    // Executes on the facade until its roster holds `count` records and its
    // join has completed.
    bool facadeSees(std::size_t count);

    // A link to `host`, made once: every link made anew has its own identifier.
    QString link;
    std::unique_ptr<SignalRecorder> recorder;
};

// Names of the records of `users`, in order.
QStringList namesOf(const std::vector<koSessionUser>& users);

// Runs the test case `testName` of this program in a child process with
// `environment` added, and waits for it (bounded; the child is killed when it
// overruns). Returns its exit status, or -1 when it did not exit normally.
int runChildCase(const std::string& testName, const std::vector<std::string>& environment,
                 std::chrono::seconds timeout = std::chrono::seconds(60));

} // namespace koFacadeTest
