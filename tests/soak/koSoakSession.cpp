#include "koSoakSession.h"

#include "koSoakJournal.h"
#include "koSoakStepCommand.h"

#include "koServerTestKit.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionUserPoseCommand.h"

#include <QCoreApplication>

#include <algorithm>
#include <sstream>
#include <thread>

namespace {

// The pose's number rides in the camera's translation: floats hold every
// integer up to 2^24 exactly, far more poses than a soak pushes.
constexpr int PoseNumberSlot = 12;
constexpr auto TickPause = std::chrono::milliseconds(5);

} // namespace

koSoakSession::koSoakSession(const QString& link, const Settings& settings)
    : link(link)
    , settings(settings)
    , random(settings.seed)
{
    koSoakJournal::the().setMainThread(std::this_thread::get_id());
    const std::thread::id mainThread = std::this_thread::get_id();
    poseConnection = QObject::connect(
        &koSession::the(), &koSession::poseChanged, [this, mainThread](const koSessionUserPoseCommand* pose) {
            koSoakJournal::the().addPose(executor.load(), pose->getChangedBy(), pose->getUserId(),
                                         static_cast<std::uint32_t>(pose->getCamera()[PoseNumberSlot]));
            // The ledgers belong to the main thread; the journal reports a pose executed elsewhere.
            if (std::this_thread::get_id() == mainThread && !ledgers[pose->getUserId()].joined)
                ++figures.stalePoses;
        });
}

koSoakSession::~koSoakSession()
{
    if (transfer.valid())
        transfer.wait();
    QObject::disconnect(poseConnection);
    participants.clear();
}

void koSoakSession::start()
{
    join(true);
    if (participants.empty())
        return;
    const auto limit = Clock::now() + settings.joinLimit;
    while (participants.front()->state == State::Joining && Clock::now() < limit)
        tick(false);
    if (participants.front()->state == State::Joining)
        return fail("the staying participant's join did not complete");
    storeFirstScene();
    scenesUploaded = 1;
}

// The staying participant (re)stores scene 0, so that the server holds the
// same scene whenever its memory is compared.
void koSoakSession::storeFirstScene()
{
    const std::vector<char> scene = makeScene(0, settings.maxSceneBytes);
    participants.front()->client->uploadScene(scene, sceneName(0));
    ++figures.uploads;
    figures.sceneBytes += scene.size();
}

void koSoakSession::churn(std::chrono::milliseconds duration)
{
    const auto end = Clock::now() + duration;
    while (Clock::now() < end)
        tick(true);
    // Everybody but the staying participant leaves, those still joining or
    // transferring as soon as they are done.
    closing = true;
    const auto limit = Clock::now() + 2 * settings.joinLimit;
    while ((participants.size() > 1 || hasTransfer()) && Clock::now() < limit)
        tick(false);
    closing = false;
    if (participants.size() > 1)
        fail("participants were still joined " + std::to_string(2 * settings.joinLimit.count())
             + " s after the soak asked them to leave");
    else if (participants.size() == 1)
        storeFirstScene();
}

void koSoakSession::idle(std::chrono::milliseconds duration)
{
    const auto end = Clock::now() + duration;
    while (Clock::now() < end)
        tick(false);
}

void koSoakSession::finish()
{
    while (hasTransfer())
        tick(false);
    for (auto& participant : participants) {
        if (participant->state == State::Active)
            beginLeave(*participant);
    }
    const auto limit = Clock::now() + settings.joinLimit;
    while (!participants.empty() && Clock::now() < limit)
        tick(false);
    if (!participants.empty())
        fail("the staying participant did not drain before leaving");
    participants.clear();
}

std::size_t koSoakSession::getAnchorRosterSize()
{
    for (auto& participant : participants) {
        if (participant->anchor)
            return participant->client->getUsers().size();
    }
    return 0;
}

// One round of the main thread: the server's output is read, every
// participant executes what it received and pushes what is due, leavers that
// have drained go, and the churn refills the empty places.
void koSoakSession::tick(bool joinChurners)
{
    QCoreApplication::processEvents();
    manageTransfer(joinChurners);
    for (auto& participant : participants)
        pump(*participant);
    participants.erase(std::remove_if(participants.begin(), participants.end(),
                                      [](const std::unique_ptr<Participant>& p) { return !p->client; }),
                       participants.end());
    if (joinChurners) {
        const auto churning = std::count_if(participants.begin(), participants.end(),
                                            [](const std::unique_ptr<Participant>& p) { return !p->anchor; });
        if (churning < settings.churners)
            join(false);
    }
    std::this_thread::sleep_for(TickPause);
}

void koSoakSession::join(bool anchor)
{
    auto participant = std::make_unique<Participant>();
    const QString name = anchor ? QStringLiteral("Anchor") : QStringLiteral("Churner %1").arg(nextName++);
    try {
        participant->client = koServerTest::join(link, name);
    } catch (const std::exception& e) {
        return fail("joining as " + name.toStdString() + " failed: " + e.what());
    }
    participant->id = participant->client->getUserId();
    participant->anchor = anchor;
    participant->joinedAt = Clock::now();
    ledgers[participant->id] = Ledger();
    ++figures.joins;
    participants.push_back(std::move(participant));
}

void koSoakSession::pump(Participant& participant)
{
    if (participant.state == State::Transferring)
        return;
    executor = participant.id;
    participant.client->executeCommands();
    executor = 0;
    const auto now = Clock::now();
    switch (participant.state) {
    case State::Joining:
        if (participant.client->isJoinCompleted())
            completeJoin(participant);
        else if (now - participant.joinedAt > settings.joinLimit) {
            fail("user " + std::to_string(participant.id) + " never saw itself in the roster");
            participant.client.reset();
            ledgers[participant.id].joined = false;
        }
        break;
    case State::Active:
        pushDue(participant);
        if (!participant.anchor && (closing || now >= participant.leaveAt))
            beginLeave(participant);
        break;
    case State::Draining:
        if (isDrained(participant) || now >= participant.drainLimit) {
            checkWindows(participant);
            participant.client.reset();
            ledgers[participant.id].joined = false;
            ++figures.leaves;
        }
        break;
    case State::Transferring:
        break;
    }
}

// From here on, whatever the others push is addressed to this participant.
void koSoakSession::completeJoin(Participant& participant)
{
    for (const auto& ledger : ledgers) {
        if (ledger.first == participant.id)
            continue;
        participant.firstAddressed[ledger.first] = {ledger.second.sent[0] + 1, ledger.second.sent[1] + 1};
        if (!ledger.second.joined)
            participant.goneAtJoin.push_back(ledger.first);
    }
    const auto now = Clock::now();
    std::uniform_int_distribution<long> life(settings.minLife.count(), settings.maxLife.count());
    participant.leaveAt = now + std::chrono::milliseconds(life(random));
    std::uniform_int_distribution<long> phase(0, settings.stepPeriod.count());
    participant.nextStep[0] = now + std::chrono::milliseconds(phase(random));
    participant.nextStep[1] = now + std::chrono::milliseconds(phase(random));
    participant.nextPose = now + std::chrono::milliseconds(phase(random));
    participant.state = State::Active;
}

void koSoakSession::pushDue(Participant& participant)
{
    const auto now = Clock::now();
    Ledger& ledger = ledgers[participant.id];
    for (int link = 0; link < 2; ++link) {
        if (now < participant.nextStep[link])
            continue;
        participant.nextStep[link] = now + settings.stepPeriod;
        const koSoakStepCommand step(participant.id, ++ledger.sent[link], koSoakStepCommand::Link(link), false);
        if (link == 0)
            participant.client->push(step);
        else
            participant.client->pushAsync(step);
        ++figures.stepsPushed;
    }
    if (now >= participant.nextPose) {
        participant.nextPose = now + settings.posePeriod;
        osg::TransformationMatrix<float> camera;
        camera[PoseNumberSlot] = static_cast<float>(++ledger.poses);
        koSessionUserPoseCommand pose(participant.id, camera);
        if (ledger.poses % 2 == 0)
            pose.setHeadTracker(camera);
        participant.client->push(pose);
        ++figures.posesPushed;
    }
}

// The window of addressed steps closes here; the barriers then flush the
// participant's own steps through the server before it goes.
void koSoakSession::beginLeave(Participant& participant)
{
    for (const auto& ledger : ledgers) {
        if (ledger.first == participant.id)
            continue;
        participant.lastAddressed[ledger.first] = ledger.second.sent;
        // Whether the poses of those who left still reach later joiners is
        // not this participant's concern; their order is checked all the same.
        if (ledger.second.joined && ledger.second.poses > 0)
            participant.newestPose[ledger.first] = ledger.second.poses;
    }
    Ledger& own = ledgers[participant.id];
    participant.barrier = {++own.sent[0], ++own.sent[1]};
    participant.client->push(koSoakStepCommand(participant.id, participant.barrier[0], koSoakStepCommand::MainLink, true));
    participant.client->pushAsync(
        koSoakStepCommand(participant.id, participant.barrier[1], koSoakStepCommand::SecondLink, true));
    participant.drainLimit = Clock::now() + settings.joinLimit;
    participant.state = State::Draining;
}

bool koSoakSession::isDrained(const Participant& participant) const
{
    const koSoakJournal& journal = koSoakJournal::the();
    for (int link = 0; link < 2; ++link) {
        if (journal.getOwnBarrier(participant.id, link) < participant.barrier[link])
            return false;
    }
    for (const auto& last : participant.lastAddressed) {
        const auto first = participant.firstAddressed.find(last.first);
        for (int link = 0; link < 2; ++link) {
            const std::uint32_t from = first == participant.firstAddressed.end() ? 1 : first->second[link];
            if (last.second[link] >= from && journal.getRun(participant.id, last.first, link).last < last.second[link])
                return false;
        }
    }
    for (const auto& pose : participant.newestPose) {
        if (journal.getPose(participant.id, pose.first) < pose.second)
            return false;
    }
    return true;
}

// Every step addressed to the participant arrived, once and in order (the
// journal reports repeats and reversals as they happen); the newest pose of
// everyone arrived too.
void koSoakSession::checkWindows(const Participant& participant)
{
    const koSoakJournal& journal = koSoakJournal::the();
    const std::string who = "user " + std::to_string(participant.id);
    for (int link = 0; link < 2; ++link) {
        const std::uint32_t own = journal.getOwnBarrier(participant.id, link);
        if (own != participant.barrier[link])
            fail(who + " executed its own barrier " + std::to_string(own) + " on link " + std::to_string(link)
                 + " instead of " + std::to_string(participant.barrier[link]));
    }
    for (const auto& last : participant.lastAddressed) {
        const auto first = participant.firstAddressed.find(last.first);
        for (int link = 0; link < 2; ++link) {
            const std::uint32_t from = first == participant.firstAddressed.end() ? 1 : first->second[link];
            const std::uint32_t to = last.second[link];
            if (to < from)
                continue;
            const koSoakJournal::Run run = journal.getRun(participant.id, last.first, link);
            std::ostringstream missing;
            for (const auto& gap : run.gaps) {
                if (gap.second >= from && gap.first <= to)
                    missing << ' ' << std::max(gap.first, from) << ".." << std::min(gap.second, to);
            }
            if (run.first == 0)
                missing << ' ' << from << ".." << to;
            else if (run.last < to)
                missing << ' ' << std::max(run.last + 1, from) << ".." << to;
            if (!missing.str().empty())
                fail(who + " missed steps" + missing.str() + " of user " + std::to_string(last.first) + " on link "
                     + std::to_string(link));
            else
                figures.addressedChecked += to - from + 1;
        }
    }
    for (const unsigned short gone : participant.goneAtJoin) {
        for (int link = 0; link < 2; ++link)
            figures.staleSteps += journal.getRun(participant.id, gone, link).count;
    }
    for (const auto& pose : participant.newestPose) {
        const std::uint32_t got = journal.getPose(participant.id, pose.first);
        if (got < pose.second)
            fail(who + " holds pose " + std::to_string(got) + " of user " + std::to_string(pose.first)
                 + " instead of its newest, " + std::to_string(pose.second));
        else
            ++figures.posesChecked;
    }
}

// One scene transfer at a time runs on a thread of its own, for a participant
// that meanwhile neither pushes nor executes on the main thread: uploads and
// downloads then overlap with everybody else's traffic.
void koSoakSession::manageTransfer(bool startNew)
{
    if (hasTransfer()) {
        if (transfer.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            endTransfer();
        return;
    }
    if (startNew && Clock::now() >= nextTransfer)
        beginTransfer();
}

bool koSoakSession::hasTransfer() const
{
    return transferring != nullptr;
}

void koSoakSession::beginTransfer()
{
    std::vector<Participant*> candidates;
    for (auto& participant : participants) {
        if (participant->state == State::Active)
            candidates.push_back(participant.get());
    }
    if (candidates.empty())
        return;
    transferring = candidates[std::uniform_int_distribution<std::size_t>(0, candidates.size() - 1)(random)];
    transferring->state = State::Transferring;
    std::shared_ptr<koSessionClient> client = transferring->client;
    const bool upload = std::uniform_int_distribution<int>(0, 2)(random) == 0;
    if (upload) {
        const int index = scenesUploaded++;
        auto scene = std::make_shared<const std::vector<char>>(makeScene(index, settings.maxSceneBytes));
        transfer = std::async(std::launch::async, [client, scene, index] {
            TransferResult result;
            result.upload = true;
            result.scene = index;
            result.bytes = scene->size();
            try {
                client->uploadScene(*scene, sceneName(index));
            } catch (const std::exception& e) {
                result.error = e.what();
            }
            return result;
        });
    } else {
        transfer = std::async(std::launch::async, [client] {
            TransferResult result;
            try {
                if (!client->downloadScene(result.data, result.name))
                    result.error = "the download reported an abort";
            } catch (const std::exception& e) {
                result.error = e.what();
            }
            return result;
        });
    }
}

void koSoakSession::endTransfer()
{
    const TransferResult result = transfer.get();
    const std::string who = "user " + std::to_string(transferring->id);
    transferring->state = State::Active;
    transferring = nullptr;
    nextTransfer = Clock::now() + settings.transferPause;
    if (!result.error.empty())
        return fail(who + (result.upload ? " could not upload: " : " could not download: ") + result.error);
    if (result.upload) {
        ++figures.uploads;
        figures.sceneBytes += result.bytes;
        return;
    }
    ++figures.downloads;
    figures.sceneBytes += result.data.size();
    // Any scene uploaded so far may be the stored one; its bytes follow from its name.
    bool known = false;
    const int index = result.name.section(QLatin1Char('-'), 2, 2).section(QLatin1Char('.'), 0, 0).toInt(&known);
    if (!known || result.name != sceneName(index) || index >= scenesUploaded)
        return fail(who + " downloaded an unknown scene \"" + result.name.toStdString() + "\"");
    if (result.data != makeScene(index, settings.maxSceneBytes))
        fail(who + " downloaded scene " + std::to_string(index) + " with other bytes than were uploaded");
}

std::vector<char> koSoakSession::makeScene(int index, std::size_t maxBytes)
{
    const std::uint32_t seed = static_cast<std::uint32_t>(index) * 7919u + 17u;
    std::mt19937 sizes(seed);
    return koTest::randomBytes(std::uniform_int_distribution<std::size_t>(0, maxBytes)(sizes), seed);
}

QString koSoakSession::sceneName(int index)
{
    return QStringLiteral("soak-scene-%1.kova").arg(index);
}

void koSoakSession::fail(const std::string& text)
{
    // A server that died would otherwise fail every join of the remaining churn.
    constexpr std::size_t MaxFailures = 50;
    if (failures.size() < MaxFailures)
        failures.push_back(text);
    else if (failures.size() == MaxFailures)
        failures.push_back("... more failures left out");
}
