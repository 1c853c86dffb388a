#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

class koSessionClient;

// Drives the participants of a soak against one server: they join, push
// numbered steps on both links and poses, move scenes up and down, and
// leave again, driven from the calling (main) thread while their own threads
// carry the changes; one scene transfer at a time runs on a helper thread. One
// participant stays throughout, so the server never finds itself empty.
// Before a participant leaves it makes sure that what was addressed to it has
// arrived, and records what did not.
//
// A step is addressed to participant R when another participant pushed it
// after R's join had completed (R's roster held R) and before R began to
// leave. A leaving participant first sends a barrier on each link and waits
// for its echo: then every step it made is in the server's lists, so nobody
// addressed by them can miss them for want of a flush.
//
// Main thread only; not copyable.
class koSoakSession
{
public:
    struct Settings
    {
        int churners = 20;                       // participants coming and going
        std::chrono::milliseconds minLife{2000}; // how long a churner stays
        std::chrono::milliseconds maxLife{8000};
        std::chrono::milliseconds stepPeriod{100}; // per link
        std::chrono::milliseconds posePeriod{150};
        std::chrono::milliseconds transferPause{300}; // between two scene transfers
        std::size_t maxSceneBytes = 2621440;           // 2.5 MiB: up to three pieces
        std::chrono::seconds joinLimit{20};            // for join completion and the leaving drain
        unsigned int seed = 1;
    };

    struct Figures
    {
        std::uint64_t joins = 0;
        std::uint64_t leaves = 0;
        std::uint64_t stepsPushed = 0;
        std::uint64_t posesPushed = 0;
        std::uint64_t addressedChecked = 0; // steps inside the leavers' windows, all verified
        std::uint64_t posesChecked = 0;     // newest poses verified at leaving
        std::uint64_t stalePoses = 0;       // executed poses of participants who had left
        std::uint64_t staleSteps = 0;       // steps executed by joiners whose senders had left before
        std::uint64_t uploads = 0;
        std::uint64_t downloads = 0;
        std::uint64_t sceneBytes = 0;
    };

    koSoakSession(const QString& link, const Settings& settings);
    ~koSoakSession();
    koSoakSession(const koSoakSession&) = delete;
    koSoakSession& operator=(const koSoakSession&) = delete;

    // Joins the participant that stays for the whole soak and stores the
    // first scene, so that downloads always find one.
    void start();
    // Lets the churners come and go for `duration`, then has them all leave
    // and stores the first scene again.
    void churn(std::chrono::milliseconds duration);
    // Executes received changes of whoever is joined for `duration`.
    void idle(std::chrono::milliseconds duration);
    // The staying participant leaves too.
    void finish();

    std::size_t getAnchorRosterSize();
    const Figures& getFigures() const { return figures; }
    const std::vector<std::string>& getFailures() const { return failures; }

private:
    using Clock = std::chrono::steady_clock;
    using Window = std::array<std::uint32_t, 2>; // per link

    enum class State { Joining, Active, Transferring, Draining };

    struct Participant
    {
        std::shared_ptr<koSessionClient> client;
        unsigned short id = 0;
        bool anchor = false;
        State state = State::Joining;
        Clock::time_point joinedAt;
        Clock::time_point leaveAt;
        Clock::time_point nextStep[2];
        Clock::time_point nextPose;
        Clock::time_point drainLimit;
        std::map<unsigned short, Window> firstAddressed; // per sender; absent: from step 1
        std::map<unsigned short, Window> lastAddressed;
        std::map<unsigned short, std::uint32_t> newestPose;
        std::vector<unsigned short> goneAtJoin; // senders who had left before the join completed
        Window barrier{};
    };

    // What one participant has pushed so far.
    struct Ledger
    {
        Window sent{};
        std::uint32_t poses = 0;
        bool joined = true;
    };

    struct TransferResult
    {
        bool upload = false;
        int scene = 0;      // index of the scene uploaded
        std::size_t bytes = 0;
        QString name;       // name downloaded
        std::vector<char> data;
        std::string error;
    };

    void storeFirstScene();
    void tick(bool joinChurners);
    void join(bool anchor);
    void pump(Participant& participant);
    void completeJoin(Participant& participant);
    void pushDue(Participant& participant);
    void beginLeave(Participant& participant);
    bool isDrained(const Participant& participant) const;
    void checkWindows(const Participant& participant);
    void manageTransfer(bool startNew);
    void beginTransfer();
    void endTransfer();
    bool hasTransfer() const;

    static std::vector<char> makeScene(int index, std::size_t maxBytes);
    static QString sceneName(int index);
    void fail(const std::string& text);

    QString link;
    Settings settings;
    std::mt19937 random;
    std::vector<std::unique_ptr<Participant>> participants;
    std::map<unsigned short, Ledger> ledgers;
    bool closing = false; // churners leave as soon as they can
    int nextName = 1;
    int scenesUploaded = 0;
    Clock::time_point nextTransfer;
    Participant* transferring = nullptr;
    std::future<TransferResult> transfer;
    Figures figures;
    std::vector<std::string> failures;
    // The participant whose received changes the main thread executes now,
    // so that a pose signal can be charged to it; 0 between executions.
    std::atomic<unsigned short> executor{0};
    QMetaObject::Connection poseConnection;
};
