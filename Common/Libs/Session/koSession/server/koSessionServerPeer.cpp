#include "koSessionServerPeer.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionCommandFactory.h"
#include "koSessionDefaultColors.h"
#include "koSessionHandshake.h"
#include "koSessionRelay.h"

#include "koCoarseClock.h"
#include "koLog.h"
#include "koNetError.h"
#include "koNetLink.h"

#include <algorithm>
#include <string>

namespace {

// A participant that falls this far behind what the others send is removed:
// the server would otherwise hold its backlog without bound.
constexpr std::uint64_t MaxBacklogBytes = std::uint64_t(64) << 20;
constexpr std::chrono::seconds MaxBacklogAge(30);
// How often a sending thread measures its participant's backlog.
constexpr std::chrono::seconds BacklogCheckInterval(1);

// Whether a peer passes `change` on to its participant: not the
// participant's own change unless it echoes, not a change addressed to another.
bool isForParticipant(const koSessionChange& change, unsigned short participant)
{
    if (!change.isEchoing() && change.getChangedBy() == participant)
        return false;
    const unsigned short destination = change.getDestinationUserId();
    return destination == 0 || destination == participant;
}

// Only the server ends a session for everybody: relayed, a participant's end
// notice would send the others away, or one of them unseen.
bool isEndNotice(const koSessionChange& change)
{
    static const unsigned int endType = koSessionCommandFactory::the().getType("EndSession");
    return change.getCommandType() == endType;
}

} // namespace

koSessionServerPeer::koSessionServerPeer()
    : pump(*this, *this)
{
}

koSessionServerPeer::~koSessionServerPeer()
{
    try {
        pump.stop();
    } catch (const std::exception& e) {
        koLog::error("Shutting the session links down failed: %s", e.what());
    } catch (...) {
        koLog::error("Shutting the session links down failed");
    }
    pump.wait();
}

// ---------------------------------------------------------------------------
// Admission (the server's handshake job)

void koSessionServerPeer::accept(koSessionRelay* owner, const std::shared_ptr<koSessionChangeList>& changes,
                                 const std::shared_ptr<koNetLink>& netLink, unsigned short userId, int index)
{
    colorIndex = index;
    participant = userId;
    mainChanges = changes;
    server = owner;
    koNetStream& stream = pump.getMainStream();
    pump.attach(stream, netLink);

    koSessionUser record;
    record.getValue(stream);
    record.checkLimits();
    record.setId(userId);
    if (record.getColor() == QColor(Qt::transparent))
        record.setColor(koSessionDefaultColors::getColor(colorIndex));
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        user = record;
    }
    const bool sceneHeld = changes->containsLoadScene();
    koSessionHandshake::putJoinAnswer(stream, record, sceneHeld);

    // An indexed reader: the new participant first gets everything the list holds.
    auto reader = changes->getReader(true);
    // The accept thread's time limit ends here: a participant may stay quiet for hours.
    netLink->setRecvTimeout(0);
    pump.start(stream, std::move(reader), changes, koSessionLinkPump::MainPeriod);
}

void koSessionServerPeer::acceptAsyncLink(const std::shared_ptr<koSessionChangeList>& changes,
                                          const std::shared_ptr<koNetLink>& netLink)
{
    // Attaching to a stream that running threads use would pull it from under them.
    if (pump.getLinkCount() != 1)
        throw koNetError("Participant " + std::to_string(participant)
                         + " cannot take a second link now (already attached or not admitted)");
    koNetStream& stream = pump.getSecondStream();
    pump.attach(stream, netLink);
    koSessionHandshake::grantSecondLink(stream);
    auto reader = changes->getReader(true);
    netLink->setRecvTimeout(0);
    pump.start(stream, std::move(reader), changes, koSessionLinkPump::SecondPeriod);
}

bool koSessionServerPeer::isConnected()
{
    return pump.isConnected();
}

koSessionUser koSessionServerPeer::copyUser() const
{
    std::lock_guard<koSessionMutex> lock(mutex);
    return user;
}

unsigned short koSessionServerPeer::getUserId() const
{
    std::lock_guard<koSessionMutex> lock(mutex);
    return user.getId();
}

int koSessionServerPeer::getColorIndex() const
{
    return colorIndex;
}

// ---------------------------------------------------------------------------
// Sending: from the shared lists to the participant

bool koSessionServerPeer::passOn(const koSessionChange& change, const koSessionChangeReader& reader,
                                 koSessionLinkPump::SendState& state)
{
    // Between changes: a write may block for as long as a slow participant
    // takes to read the one before.
    checkBacklog(reader, state);
    state.unsentBytes -= change.getByteSize();
    return isForParticipant(change, participant);
}

void koSessionServerPeer::checkBacklog(const koSessionChangeReader& reader, koSessionLinkPump::SendState& state)
{
    const auto now = koCoarseClock::now();
    if (now - state.backlogChecked < BacklogCheckInterval)
        return;
    state.backlogChecked = now;
    koSessionChangeList::Backlog backlog = reader.getBacklog();
    backlog.bytes += state.unsentBytes;
    if (state.unsentBytes > 0)
        backlog.age = std::max(backlog.age, now - state.taken);
    if (backlog.bytes <= MaxBacklogBytes && backlog.age <= MaxBacklogAge)
        return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(backlog.age).count();
    throw koNetError("the participant fell behind by " + std::to_string(backlog.bytes) + " bytes, the oldest sent "
                     + std::to_string(seconds) + " s ago (limits " + std::to_string(MaxBacklogBytes) + " bytes and "
                     + std::to_string(MaxBacklogAge.count()) + " s)");
}

// ---------------------------------------------------------------------------
// Receiving: from the participant into the shared lists

bool koSessionServerPeer::executesAtOnce(const koSessionChange& change)
{
    if (isEndNotice(change))
        throw koNetError("the participant sent an end notice, which only the server may send");
    return change.isServerCommand();
}

// A batch ends at a scene load, so the roster below follows the load at once.
void koSessionServerPeer::relay(std::vector<std::shared_ptr<koSessionChange>>&& changes,
                                const std::shared_ptr<koSessionChangeList>& list)
{
    for (const std::shared_ptr<koSessionChange>& change : changes)
        server->countRelayed(change->getByteSize());
    const bool loadScene = changes.back()->isLoadScene();
    list->push(std::move(changes));
    // A scene load empties the shared list, and with it a roster that some
    // peers may not have sent on yet: whoever joined just before the load
    // would stay unknown to them until the next roster change.
    if (list == mainChanges && loadScene)
        server->sendUpdatedUsers();
}

// A participant that leaves closes both links after its last changes; the
// link whose end arrives first must not cut the other short before those are
// read. A peer that closes one link only is stopped after the same limit.
void koSessionServerPeer::linkClosed()
{
    pump.awaitOtherLinkEnd();
}

void koSessionServerPeer::threadEnded()
{
    try {
        server->checkClients();
    } catch (const std::exception& e) {
        koLog::error("Unable to have stopped participants removed: %s", e.what());
    } catch (...) {
        koLog::error("Unable to have stopped participants removed");
    }
}

// ---------------------------------------------------------------------------
// Server commands

void koSessionServerPeer::updateUserInfo(const koSessionUser& info)
{
    koSessionUser record(info);
    record.setId(getUserId());
    try {
        record.checkLimits();
    } catch (const koNetError& e) {
        // Kept, the record would reach every newcomer's handshake and
        // stop them all from joining: the sender's link ends instead.
        pump.fail("updating its record", e.what());
        return;
    }
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        user = record;
    }
    server->sendUpdatedUsers();
}

void koSessionServerPeer::setUsers(const std::vector<koSessionUser>&)
{
}

void koSessionServerPeer::showPose(const koSessionUserPoseCommand&)
{
}

// The participant's end notice never gets here: executesAtOnce refuses it.
void koSessionServerPeer::endForEverybody(const QString&)
{
}

koSessionClient* koSessionServerPeer::getClient()
{
    return nullptr;
}
