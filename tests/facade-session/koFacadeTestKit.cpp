#include "koFacadeTestKit.h"

#include "koTestSupport.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserPoseCommand.h"

#include "koBoundSocketLink.h"
#include "koNetError.h"
#include "koSocketLink.h"

#include <QDataStream>

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

NoteCommand::NoteCommand()
    : koSessionCommand(false, true)
{
}

NoteCommand::NoteCommand(const QString& text, bool echoing)
    : koSessionCommand(false, echoing)
    , text(text)
{
}

void NoteCommand::execute(koSessionClient* client) const
{
    Execution execution;
    execution.executor = client ? client->getUserId() : 0;
    execution.changedBy = getChangedBy();
    execution.text = text;
    execution.onMainThread = std::this_thread::get_id() == ExecutionLog::the().getMainThread();
    // The facade belongs to the main thread; ask it only there, and only
    // about its own client.
    if (execution.onMainThread && execution.executor != 0
        && execution.executor == koSession::the().getUser().getId())
        execution.facadeReady = koSession::the().isReadyToUse();
    ExecutionLog::the().add(execution);
}

void NoteCommand::putData(QDataStream& stream) const
{
    stream << text;
}

void NoteCommand::getData(QDataStream& stream)
{
    stream >> text;
}

// ---------------------------------------------------------------------------

ExecutionLog& ExecutionLog::the()
{
    static ExecutionLog log;
    return log;
}

void ExecutionLog::reset(std::thread::id thread)
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.clear();
    mainThread = thread;
}

std::thread::id ExecutionLog::getMainThread() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return mainThread;
}

void ExecutionLog::add(const Execution& execution)
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(execution);
}

std::vector<Execution> ExecutionLog::all() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}

QStringList ExecutionLog::texts(unsigned short executor) const
{
    QStringList found;
    for (const Execution& entry : all()) {
        if (entry.executor == executor)
            found.append(entry.text);
    }
    return found;
}

bool ExecutionLog::has(unsigned short executor, const QString& text) const
{
    return texts(executor).contains(text);
}

bool ExecutionLog::find(unsigned short executor, const QString& text, Execution& out) const
{
    for (const Execution& entry : all()) {
        if (entry.executor == executor && entry.text == text) {
            out = entry;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------

SignalRecorder::SignalRecorder()
{
    koSession& facade = koSession::the();
    const std::thread::id mainThread = std::this_thread::get_id();
    connections = {
        QObject::connect(&facade, &koSession::userAdded,
                         [this](const koSessionUser& user) {
                             addRoster(QStringLiteral("added %1 %2").arg(user.getId()).arg(user.getName()));
                         }),
        QObject::connect(&facade, &koSession::userChanged,
                         [this](const koSessionUser& user) {
                             addRoster(QStringLiteral("changed %1 %2").arg(user.getId()).arg(user.getName()));
                         }),
        QObject::connect(&facade, &koSession::userRemoved,
                         [this](koSessionUserId id) { addRoster(QStringLiteral("removed %1").arg(id)); }),
        // Raised on the receiving thread of a second link: a direct
        // connection runs there, while the pointer is valid.
        QObject::connect(&facade, &koSession::poseChanged, &facade,
                         [this, mainThread](const koSessionUserPoseCommand* pose) {
                             PoseSeen seen;
                             seen.userId = pose->getUserId();
                             seen.marker = pose->getCamera()[12];
                             seen.hasHead = pose->hasHead();
                             seen.onMainThread = std::this_thread::get_id() == mainThread;
                             std::lock_guard<std::mutex> lock(mutex);
                             poseEvents.push_back(seen);
                         },
                         Qt::DirectConnection),
    };
}

SignalRecorder::~SignalRecorder()
{
    for (const QMetaObject::Connection& connection : connections)
        QObject::disconnect(connection);
}

void SignalRecorder::addRoster(const QString& event)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (facadeExecuting)
        rosterEvents << event;
}

QStringList SignalRecorder::roster() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return rosterEvents;
}

void SignalRecorder::clearRoster()
{
    std::lock_guard<std::mutex> lock(mutex);
    rosterEvents.clear();
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
        {
            std::lock_guard<std::mutex> lock(mutex);
            facadeExecuting = true;
        }
        koSession::the().executeChanges();
        {
            std::lock_guard<std::mutex> lock(mutex);
            facadeExecuting = false;
        }
        return condition();
    }, timeout);
}

// ---------------------------------------------------------------------------

void FacadeTest::SetUp()
{
    koServerTest::prepareProcess();
    ExecutionLog::the().reset(std::this_thread::get_id());
    host = std::make_unique<koServerTest::TestServer>();
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

FacadeTest::ClientPtr FacadeTest::joinClient(const QString& name)
{
    return koServerTest::join(link, name);
}

bool FacadeTest::facadeSees(std::size_t count)
{
    return recorder->pumpFacade([count] {
        return koSession::the().isJoinCompleted() && koSession::the().getUsers().size() == count;
    });
}

// A socket link that hands over whatever bytes have arrived, as a relay needs.
class LinkCutter::Link : public koSocketLink
{
public:
    using koSocketLink::koSocketLink;

    std::size_t receiveSome(char* data, std::size_t size) { return rawRecv(data, size); }
    void sendAll(const char* data, std::size_t size) { rawSend(data, size); }
};

LinkCutter::LinkCutter(int serverPort)
    : serverPort(serverPort)
    , listener(std::make_unique<koBoundSocketLink>(0))
{
    acceptThread = std::thread([this] { acceptLoop(); });
}

LinkCutter::~LinkCutter()
{
    listener->shutdown();
    acceptThread.join();
    cutAll();
    for (std::thread& thread : takeThreads())
        thread.join();
}

QString LinkCutter::link() const
{
    const int port = listener->getAddress().getPort();
    return koSession::createSessionLink(QStringLiteral("127.0.0.1:%1").arg(port), QString());
}

void LinkCutter::cutAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::shared_ptr<Link>& relayed : links)
        relayed->shutdown();
    links.clear();
}

std::vector<std::thread> LinkCutter::takeThreads()
{
    std::vector<std::thread> taken;
    std::lock_guard<std::mutex> lock(mutex);
    taken.swap(relays);
    return taken;
}

void LinkCutter::acceptLoop()
{
    for (;;) {
        std::shared_ptr<Link> participant;
        try {
            participant = std::make_shared<Link>(*listener);
        } catch (...) {
            return; // the listener was shut down
        }
        try {
            auto server = std::make_shared<Link>(koSocketAddress("127.0.0.1", serverPort), 5.0);
            std::lock_guard<std::mutex> lock(mutex);
            links.push_back(participant);
            links.push_back(server);
            relays.emplace_back([this, participant, server] { relay(participant, server); });
            relays.emplace_back([this, participant, server] { relay(server, participant); });
        } catch (...) {
            participant->shutdown(); // the server is gone: the participant sees a closed link
        }
    }
}

// Copies bytes until either end fails, then shuts both down so that the
// other direction ends too.
void LinkCutter::relay(const std::shared_ptr<Link>& from, const std::shared_ptr<Link>& to)
{
    try {
        char buffer[16384];
        for (;;) {
            const std::size_t size = from->receiveSome(buffer, sizeof buffer);
            to->sendAll(buffer, size);
        }
    } catch (...) {
        // Either end failed or was cut: the relay of this direction is over.
    }
    from->shutdown();
    to->shutdown();
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
