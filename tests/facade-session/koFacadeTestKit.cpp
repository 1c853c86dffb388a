#include "koFacadeTestKit.h"

#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserPoseCommand.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace koFacadeTest {

namespace {

const koSessionCommandFactory::Register<NoteCommand> registerNote("FacadeTestNote");
const koSessionCommandFactory::Register<LoadSceneCommand> registerLoadScene("LoadScene");

} // namespace

unsigned int noteType()
{
    return koSessionCommandFactory::the().getType("FacadeTestNote");
}

// ---------------------------------------------------------------------------

SignalRecorder::SignalRecorder()
{
    koSession& facade = koSession::the();
    const std::thread::id mainThread = std::this_thread::get_id();
    // Raised on the receiving thread of a second link: a direct connection
    // runs there, while the pointer is valid.
    poseConnection = QObject::connect(
        &facade, &koSession::poseChanged, &facade,
        [this, mainThread](const koSessionUserPoseCommand* pose) {
            PoseSeen seen;
            seen.userId = pose->getUserId();
            seen.marker = pose->getCamera()[12];
            seen.hasHead = pose->hasHead();
            seen.onMainThread = std::this_thread::get_id() == mainThread;
            std::lock_guard<std::mutex> lock(mutex);
            poseEvents.push_back(seen);
        },
        Qt::DirectConnection);
}

SignalRecorder::~SignalRecorder()
{
    QObject::disconnect(poseConnection);
}

std::vector<PoseSeen> SignalRecorder::poses() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return poseEvents;
}

int SignalRecorder::poseCount(unsigned short userId, float marker) const
{
    int count = 0;
    for (const PoseSeen& seen : poses())
        count += seen.userId == userId && seen.marker == marker ? 1 : 0;
    return count;
}

bool SignalRecorder::pumpFacade(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    return koTest::waitFor([&] {
        facadeExecuting = true;
        koSession::the().executeChanges();
        facadeExecuting = false;
        return condition();
    }, timeout);
}

// ---------------------------------------------------------------------------

void FacadeTest::SetUp()
{
    SessionTest::SetUp();
    // The facade belongs to the main thread: ask it only there, and only about
    // its own client.
    ExecutionLog::the().reset(std::this_thread::get_id(), [](Execution& execution) {
        if (execution.onMainThread && execution.executor != 0
            && execution.executor == koSession::the().getUser().getId())
            execution.facadeReady = koSession::the().isReadyToUse();
    });
    link = host->link();
    recorder = std::make_unique<SignalRecorder>();
}

void FacadeTest::TearDown()
{
    koSession::the().leave();
    host.reset();
    recorder.reset();
}

void FacadeTest::joinFacade(const QString& name)
{
    koSession::the().join(link, koServerTest::makeUser(name), QString(), false);
}

bool FacadeTest::facadeSees(std::size_t count)
{
    return recorder->pumpFacade([count] {
        return koSession::the().isJoinCompleted() && koSession::the().getUsers().size() == count;
    });
}

QStringList namesOf(const std::vector<koSessionUser>& users)
{
    QStringList names;
    for (const koSessionUser& user : users)
        names << user.getName();
    return names;
}

int runChildCase(const std::string& testName, const std::vector<std::string>& environment,
                 std::chrono::seconds timeout)
{
    char exe[4096] = {};
    if (::readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return -1;
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry)
        env.push_back(*entry);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=" + testName;
    char* argv[] = {exe, &filter[0], nullptr};

    pid_t child = 0;
    if (::posix_spawn(&child, exe, nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    int status = -1;
    const bool ended = koTest::waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, timeout);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace koFacadeTest
