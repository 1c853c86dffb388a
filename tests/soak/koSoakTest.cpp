// Twenty participants join and leave for minutes against a kosession-server
// child process, pushing numbered steps on both links. Every participant must
// execute what was addressed to it once and in order; afterwards the server must be back to its idle threads,
// descriptors and memory, and nothing may be logged at error level on either
// side. A leaver first sends an echoing barrier on each link and waits for
// it: then every step it made is in the server's lists. The server keeps its
// session in a state directory: a fresh server restored from it must hold the
// newest value of every lasting mark, once, as the live one did.
//
// KOSESSION_SOAK_SECONDS sets the length of the churn (default 120),
// KOSESSION_SOAK_SEED varies the joins and lifetimes.
#include "koServerTestKit.h"
#include "koToolsTestKit.h"

#include "koSessionClient.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QTemporaryDir>

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Window = std::array<std::uint32_t, 2>; // per link

constexpr int Churners = 20;
constexpr auto StepPeriod = 100ms; // per link
constexpr auto MinLife = 2s;
constexpr auto MaxLife = 8s;
constexpr auto JoinLimit = 20s; // for join completion, the leaving drain and the server's settling
// How far the server's resident memory may grow beyond its figure after the
// warm-up: allocator arenas keep some free memory, and 1 KiB a join is allowed
// for what the server keeps of each participant. A leak of a few KiB per join
// shows over several hundred joins.
constexpr long ResidentToleranceKiB = 6 * 1024;
// A sanitizer's allocator keeps freed memory in quarantine: resident memory
// says nothing about leaks there (the sanitizer reports those itself).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool CompareResidentMemory = false;
#else
constexpr bool CompareResidentMemory = true;
#endif

long setting(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text && std::atol(text) > 0 ? std::atol(text) : fallback;
}

// Threads, open descriptors and resident memory of a process, from /proc.
struct Figures
{
    int threads = -1;
    int descriptors = -1;
    long residentKiB = -1;
};

Figures figuresOf(long pid)
{
    const std::filesystem::path root = "/proc/" + std::to_string(pid);
    const auto count = [](const std::filesystem::path& folder) {
        std::error_code error;
        const auto entries = std::filesystem::directory_iterator(folder, error);
        return error ? -1 : int(std::distance(begin(entries), end(entries)));
    };
    Figures figures{count(root / "task"), count(root / "fd"), -1};
    std::ifstream status(root / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            figures.residentKiB = std::stol(line.substr(6));
    }
    return figures;
}

// The server: the one child of this process.
long serverPid()
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // "pid (name) state ppid ...": the name may hold anything.
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        std::string state;
        long parent = 0;
        if (line.find(')') != std::string::npos && fields >> state >> parent && parent == getpid())
            return std::stol(entry.path().filename());
    }
    return -1;
}

// What the participants executed; any thread adds (second-link steps run on
// the receiving threads). Per executor, sender and link the step numbers must
// rise; a participant executes of its own steps only its barriers.
struct Journal
{
    void step(unsigned short executor, unsigned short changedBy, unsigned short sender, std::uint32_t number, int link,
              bool barrier)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::ostringstream what;
        what << "user " << executor << " executed step " << number << " of user " << sender << " on link " << link;
        if ((std::this_thread::get_id() == mainThread) != (link == 0))
            violations.push_back(what.str() + " on the wrong thread");
        if (changedBy != sender || (executor == sender && !barrier))
            violations.push_back(what.str() + " made by user " + std::to_string(changedBy));
        std::vector<std::uint32_t>& got = steps[{executor, sender, link}];
        if (!got.empty() && number <= got.back())
            violations.push_back(what.str() + " after step " + std::to_string(got.back()));
        else
            got.push_back(number);
    }

    // How many of the steps `from` to `to` of `sender` on `link` `executor` executed.
    std::uint32_t received(unsigned short executor, unsigned short sender, int link, std::uint32_t from, std::uint32_t to)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::vector<std::uint32_t>& got = steps[{executor, sender, link}];
        return std::uint32_t(std::upper_bound(got.begin(), got.end(), to) - std::lower_bound(got.begin(), got.end(), from));
    }

    std::mutex mutex;
    std::thread::id mainThread;
    std::map<std::tuple<unsigned short, unsigned short, int>, std::vector<std::uint32_t>> steps;
    std::vector<std::string> violations;
} journal;

// One numbered step: not mergable (every step counts), transient (the
// server's lists let it go once everybody has read it), echoing only as a
// barrier. A rebuilt command has its class's flags, so the mark travels in
// the payload too.
class SoakStep : public koSessionCommand
{
public:
    SoakStep(quint16 sender = 0, quint32 number = 0, quint8 link = 0, bool barrier = false)
        : koSessionCommand(false, barrier, true), sender(sender), number(number), link(link), barrier(barrier)
    {
    }
    void execute(koSessionClient* client) const override
    {
        journal.step(client->getUserId(), getChangedBy(), sender, number, link, barrier);
    }
    void putData(QDataStream& stream) const override { stream << sender << number << link << barrier; }
    void getData(QDataStream& stream) override { stream >> sender >> number >> link >> barrier; }

private:
    quint16 sender;
    quint32 number;
    quint8 link;
    bool barrier;
};

const koSessionCommandFactory::Register<SoakStep> registerStep("SoakStep");

// A lasting state under one of sixteen keys: the server holds the newest value
// per key and keeps it on disk. Every value each participant executed, per key.
std::map<unsigned short, std::map<quint8, std::vector<quint32>>> marks;

struct SoakMark : koSessionCommand
{
    SoakMark(quint8 key = 0, quint32 value = 0) : koSessionCommand(true, true, false), key(key), value(value) {}
    void execute(koSessionClient* client) const override { marks[client->getUserId()][key].push_back(value); }
    void putStateId(QDataStream& stream) const override { stream << key; }
    void putData(QDataStream& stream) const override { stream << key << value; }
    void getData(QDataStream& stream) override { stream >> key >> value; }
    quint8 key;
    quint32 value;
};

const koSessionCommandFactory::Register<SoakMark> registerMark("SoakMark");

// The participants of a soak, driven from the main thread. The first one
// stays throughout and pushes steps like the others: every churner must get
// the steps it pushed while the churner was in, and at the end the staying
// one must have every step of every churner.
class Soak
{
public:
    Soak(const QString& link, unsigned int seed)
        : link(link)
        , random(seed)
    {
        journal.mainThread = std::this_thread::get_id();
        join();
        while (anchor().state == State::Joining && Clock::now() - anchor().joinedAt < JoinLimit)
            tick(false);
        if (anchor().state != State::Active)
            throw std::runtime_error("the staying participant's join did not complete");
        staying = anchor().id;
    }

    // The churners come and go for `duration`, then all of them leave.
    void churn(std::chrono::milliseconds duration)
    {
        for (const auto end = Clock::now() + duration; Clock::now() < end;)
            tick(true);
        closing = true;
        for (const auto limit = Clock::now() + 2 * JoinLimit; participants.size() > 1 && Clock::now() < limit;)
            tick(false);
        closing = false;
        if (participants.size() > 1)
            fail("churners still joined after the soak asked them to leave");
    }

    // The server's figures once two readings half a second apart agree, the
    // staying participant is alone and, if given, threads and descriptors are
    // back to `idle`; bounded.
    Figures settle(long pid, const Figures* idle = nullptr)
    {
        Figures previous = figuresOf(pid);
        for (const auto limit = Clock::now() + JoinLimit; Clock::now() < limit;) {
            for (const auto end = Clock::now() + 500ms; Clock::now() < end;)
                tick(false);
            const Figures now = figuresOf(pid);
            const bool steady = now.threads == previous.threads && now.descriptors == previous.descriptors;
            previous = now;
            if (steady && anchor().client->getUsers().size() == 1
                && (!idle || (now.threads == idle->threads && now.descriptors == idle->descriptors)))
                break;
        }
        return previous;
    }

    // The staying participant leaves too, once it has every step of everybody.
    void finish()
    {
        beginLeave(anchor());
        for (const auto limit = Clock::now() + JoinLimit; anchor().client && Clock::now() < limit;)
            tick(false);
        for (const auto& [id, sent] : ledgers) {
            for (int link = 0; link < 2 && id != anchor().id; ++link) {
                if (journal.received(anchor().id, id, link, 1, sent[link]) != sent[link])
                    fail("the staying participant lacks steps of user " + std::to_string(id) + " on link " + std::to_string(link));
                checked += sent[link];
            }
        }
        if (anchor().client)
            fail("the staying participant did not drain before leaving");
        participants.clear();
    }

    std::uint64_t joins = 0, checked = 0;
    unsigned short staying = 0;
    std::vector<std::string> failures;

private:
    enum class State { Joining, Active, Leaving };
    struct Participant
    {
        std::shared_ptr<koSessionClient> client;
        unsigned short id = 0;
        State state = State::Joining;
        Clock::time_point joinedAt = Clock::now(), leaveAt, nextStep[2];
        Window firstAnchored{}, lastAnchored{}, barrier{}; // the staying one's steps while this one was in
    };

    Participant& anchor() { return *participants.front(); }

    void fail(const std::string& text)
    {
        // A server that died would otherwise fail every join of the remaining churn.
        if (failures.size() < 50)
            failures.push_back(text);
    }

    void tick(bool joinChurners)
    {
        QCoreApplication::processEvents();
        for (auto& participant : participants)
            pump(*participant);
        participants.erase(std::remove_if(participants.begin() + 1, participants.end(), [](const auto& p) { return !p->client; }),
                           participants.end());
        if (joinChurners && participants.size() < Churners + 1)
            join();
        std::this_thread::sleep_for(5ms);
    }

    void join()
    {
        auto participant = std::make_unique<Participant>();
        const QString name = QStringLiteral("Participant %1").arg(joins);
        try {
            participant->client = koServerTest::join(link, name);
        } catch (const std::exception& e) {
            if (participants.empty())
                throw;
            return fail("joining as " + name.toStdString() + " failed: " + e.what());
        }
        participant->id = participant->client->getUserId();
        ledgers[participant->id] = Window{};
        ++joins;
        participants.push_back(std::move(participant));
    }

    void pump(Participant& participant)
    {
        if (!participant.client)
            return;
        participant.client->executeCommands();
        const auto now = Clock::now();
        if (participant.state == State::Joining && participant.client->isJoinCompleted()) {
            participant.firstAnchored = {ledgers[anchor().id][0] + 1, ledgers[anchor().id][1] + 1};
            participant.leaveAt = now + std::chrono::milliseconds(std::uniform_int_distribution<long>(
                                            std::chrono::milliseconds(MinLife).count(), std::chrono::milliseconds(MaxLife).count())(random));
            participant.nextStep[0] = participant.nextStep[1] = now;
            participant.state = State::Active;
        } else if (participant.state == State::Joining && now - participant.joinedAt > JoinLimit) {
            fail("user " + std::to_string(participant.id) + " never saw itself in the roster");
            participant.client.reset();
        } else if (participant.state == State::Active) {
            for (std::uint8_t link = 0; link < 2; ++link) {
                if (now < participant.nextStep[link])
                    continue;
                participant.nextStep[link] = now + StepPeriod + std::chrono::milliseconds(random() % 20);
                const SoakStep step(participant.id, ++ledgers[participant.id][link], link, false);
                link == 0 ? participant.client->push(step) : participant.client->pushAsync(step);
                if (link == 0)
                    participant.client->push(SoakMark(quint8(random() % 16), quint32(participant.id) << 16 | ledgers[participant.id][0]));
            }
            if (&participant != &anchor() && (closing || now >= participant.leaveAt))
                beginLeave(participant);
        } else if (participant.state == State::Leaving && (isComplete(participant, false) || now > participant.leaveAt + JoinLimit)) {
            isComplete(participant, true);
            participant.client.reset();
        }
    }

    // The window of the staying one's steps closes here; the barriers then
    // flush the participant's own steps through the server before it goes.
    void beginLeave(Participant& participant)
    {
        participant.lastAnchored = ledgers[anchor().id];
        Window& sent = ledgers[participant.id];
        participant.barrier = {++sent[0], ++sent[1]};
        participant.client->push(SoakStep(participant.id, participant.barrier[0], 0, true));
        participant.client->pushAsync(SoakStep(participant.id, participant.barrier[1], 1, true));
        participant.leaveAt = Clock::now();
        participant.state = State::Leaving;
    }

    // Whether `participant` executed its own barriers once and every step of
    // the staying one pushed while it was in; `report` says what it lacks.
    bool isComplete(const Participant& participant, bool report)
    {
        bool complete = true;
        for (int link = 0; link < 2; ++link) {
            const std::uint32_t from = participant.firstAnchored[link], to = participant.lastAnchored[link];
            const std::uint32_t addressed = &participant == &anchor() || to < from ? 0 : to - from + 1;
            const std::uint32_t got = addressed ? journal.received(participant.id, anchor().id, link, from, to) : 0;
            const bool barrier = journal.received(participant.id, participant.id, link, 1, participant.barrier[link]) == 1
                && journal.received(participant.id, participant.id, link, participant.barrier[link], participant.barrier[link]) == 1;
            complete = complete && barrier && got == addressed;
            if (report && (!barrier || got != addressed))
                fail("user " + std::to_string(participant.id) + " on link " + std::to_string(link) + " executed "
                     + std::to_string(got) + " of " + std::to_string(addressed) + " addressed steps, its barrier "
                     + (barrier ? "once" : "not once"));
            checked += report ? got : 0;
        }
        return complete;
    }

    QString link;
    std::mt19937 random;
    std::vector<std::unique_ptr<Participant>> participants; // the staying one first
    std::map<unsigned short, Window> ledgers;               // the steps each participant pushed per link
    bool closing = false;                                   // churners leave as soon as they can
};

using SoakTest = koToolsTest::ProgramTest;

TEST_F(SoakTest, ParticipantsComeAndGoWithoutLossOrLeak)
{
    koServerTest::prepareProcess(false);
    koTest::LogCapture log;
    const auto churnTime = std::chrono::seconds(setting("KOSESSION_SOAK_SECONDS", 120));
    const auto seed = static_cast<unsigned int>(setting("KOSESSION_SOAK_SEED", 1));
    SCOPED_TRACE("KOSESSION_SOAK_SEED=" + std::to_string(seed));
    // glibc raises its mmap threshold once a large block is freed, after
    // which large buffers stay resident when freed; a fixed threshold gives
    // them back, so the server's figure shows what it holds.
    qputenv("MALLOC_MMAP_THRESHOLD_", "131072");
    QTemporaryDir folder;
    const QStringList kept{QStringLiteral("--state-dir"), folder.path()};
    startServer(kept);
    const long pid = serverPid();
    ASSERT_GT(pid, 0);

    Figures cold, warm, after, ownCold, ownAfter;
    std::uint64_t warmJoins = 0;
    std::map<quint8, std::vector<quint32>> held; // the newest mark per key
    {
        Soak soak(link, seed);
        cold = soak.settle(pid);
        ownCold = figuresOf(getpid());
        // The first round lets the server's allocator reach its working size.
        soak.churn(std::clamp<std::chrono::milliseconds>(churnTime / 6, 5s, 20s));
        warm = soak.settle(pid, &cold);
        warmJoins = soak.joins;
        soak.churn(churnTime);
        after = soak.settle(pid, &cold);
        ownAfter = figuresOf(getpid());
        soak.finish();
        for (const auto& [key, values] : marks[soak.staying])
            held[key] = {values.back()};
        std::cout << "soak: " << soak.joins << " joins, " << soak.checked << " addressed steps checked" << std::endl;
        EXPECT_GT(soak.checked, 0u);
        EXPECT_TRUE(soak.failures.empty()) << ::testing::PrintToString(soak.failures);
        EXPECT_EQ(server->countLines(QRegularExpression(QStringLiteral("^info: Participant \\d+ \".*\" joined$"))), int(soak.joins));
        const long allowed = warm.residentKiB + ResidentToleranceKiB + long(soak.joins - warmJoins);
        std::cout << "soak: server resident " << cold.residentKiB << " KiB idle, " << warm.residentKiB << " after warm-up, "
                  << after.residentKiB << " at the end" << std::endl;
        if (CompareResidentMemory) {
            EXPECT_LE(after.residentKiB, allowed) << "KiB resident at the end";
        }
    }
    // The last one out stops the server.
    EXPECT_EQ(exitCodeOf(*server, 20s), 0) << "the server still runs after everybody left";
    EXPECT_EQ(server->countLines(QRegularExpression(QStringLiteral("Stopping session after last client has disconnected$"))), 1);
    EXPECT_TRUE(journal.violations.empty()) << ::testing::PrintToString(journal.violations);
    ASSERT_GT(cold.residentKiB, 0);
    EXPECT_EQ(after.threads, cold.threads);
    EXPECT_EQ(after.descriptors, cold.descriptors);
    EXPECT_EQ(ownAfter.threads, ownCold.threads);
    EXPECT_EQ(ownAfter.descriptors, ownCold.descriptors);
    EXPECT_TRUE(log.lines(koLog::Level::Error).empty()) << ::testing::PrintToString(log.lines(koLog::Level::Error));
    for (const koChildProcess::Line& line : server->getLines())
        EXPECT_FALSE(line.text.contains(QRegularExpression(QStringLiteral("^(error|kosession-server): ")))) << line.text.toStdString();
    std::uintmax_t keptBytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path().toStdString()))
        keptBytes += entry.file_size();
    std::cout << "soak: state directory " << keptBytes << " bytes" << std::endl;
    // A fresh server on the folder holds what the live one held: the newest mark per key, once.
    marks.clear();
    startServer(kept);
    const auto newcomer = koServerTest::join(link, QStringLiteral("Newcomer"));
    auto& restored = marks[newcomer->getUserId()];
    koServerTest::pumpUntil({newcomer.get()}, [&] { return restored.size() >= held.size(); }, JoinLimit);
    EXPECT_EQ(held.size(), 16u);
    EXPECT_EQ(restored, held);
}

} // namespace
