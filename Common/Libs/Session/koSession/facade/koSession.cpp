#include "koSession.h"

#include "koSessionClient.h"
#include "koSessionDefaultColors.h"
#include "koSessionLinkCoder.h"
#include "koSessionMutex.h"
#include "koSessionObserver.h"

namespace {

// What getUser answers without an active session: one record for the whole
// process, so a caller may keep the reference.
const koSessionUser& emptyUser()
{
    static const koSessionUser empty;
    return empty;
}

} // namespace

class koSession::Observer : public koSessionObserver
{
public:
    explicit Observer(koSession& facade) : facade(facade) {}

    void userAdded(const koSessionUser& user) override { emit facade.userAdded(user); }
    void userRemoved(unsigned short userId) override { emit facade.userRemoved(userId); }
    void userChanged(const koSessionUser& user) override { emit facade.userChanged(user); }
    void poseChanged(const koSessionUserPoseCommand& pose) override { emit facade.poseChanged(&pose); }

private:
    koSession& facade;
};

std::shared_ptr<koSession> koSession::s_the;

koSession& koSession::the()
{
    if (!s_the)
        s_the.reset(new koSession);
    return *s_the;
}

koSession::koSession()
    : QObject(nullptr)
    , client(std::make_shared<koSessionClient>())
    , joiningMutex(std::make_unique<koSessionMutex>(koSessionLockRank::FacadeJoining, "koSession::joiningMutex"))
    , observer(std::make_unique<Observer>(*this))
{
    koSessionObserver::setDefault(observer.get());
    QList<std::pair<QColor, QString>> colors;
    colors.reserve(koSessionDefaultColors::Count);
    for (int index = 0; index < koSessionDefaultColors::Count; ++index)
        colors.append({koSessionDefaultColors::getColor(index), tr(koSessionDefaultColors::getName(index))});
    defaultColors = colors;
}

koSession::~koSession()
{
    if (koSessionObserver::getDefault() == observer.get())
        koSessionObserver::setDefault(nullptr);
}

// ---------------------------------------------------------------------------
// Session

void koSession::join(const QString& link, const koSessionUser& user, const QString& password, bool force)
{
    sessionLink = link;
    joined = false;
    // The current client stays until the new one is in: a join that throws
    // leaves the facade not joined, and the new client's destructor stops
    // whatever threads it had started.
    auto newClient = std::make_shared<koSessionClient>();
    setJoining(newClient);
    try {
        newClient->join(link, user, password, force);
    } catch (...) {
        // Out of cancelJoin's reach before the client goes, so that it is
        // destroyed here, not on the cancelling thread.
        setJoining(nullptr);
        throw;
    }
    setJoining(nullptr);
    client = newClient;
    joined = true;
}

void koSession::cancelJoin()
{
    std::lock_guard<koSessionMutex> lock(*joiningMutex);
    if (joining)
        joining->cancelJoin();
}

void koSession::setJoining(const std::shared_ptr<koSessionClient>& newClient)
{
    std::lock_guard<koSessionMutex> lock(*joiningMutex);
    joining = newClient;
}

void koSession::leave()
{
    if (!activeClient())
        return;
    joined = false;
    client.reset();
}

void koSession::stopForAll()
{
    if (auto current = activeClient()) {
        current->stopForAll();
        leave();
    }
}

bool koSession::isConnected()
{
    return activeClient() != nullptr;
}

bool koSession::isJoined() const
{
    return joined;
}

bool koSession::isJoinCompleted()
{
    const auto current = joinedClient();
    return current && current->isJoinCompleted();
}

bool koSession::isReadyToUse()
{
    const auto current = activeClient();
    return current && !current->isExecuting() && !current->isBlocking();
}

void koSession::executeChanges()
{
    if (auto current = activeClient())
        current->executeCommands();
}

void koSession::pushCommand(const koSessionCommand& command)
{
    if (auto current = activeClient())
        current->push(command);
}

void koSession::pushAsyncCommand(const koSessionCommand& command)
{
    if (auto current = activeClient())
        current->pushAsync(command);
}

void koSession::uploadScene(const std::vector<char>& data, QString name)
{
    if (auto current = activeClient())
        current->uploadScene(data, name);
}

void koSession::downloadScene(std::vector<char>& data, QString& name)
{
    if (auto current = activeClient())
        current->downloadScene(data, name);
}

void koSession::downloadScene(koSessionSceneBuffer& data, QString& name)
{
    if (auto current = activeClient())
        current->downloadScene(data, name);
}

// Block counts belong to whatever client is held, connected or not.
void koSession::block(unsigned int type)
{
    if (auto current = client)
        current->block(type);
}

void koSession::unblock(unsigned int type)
{
    if (auto current = client)
        current->unblock(type);
}

const koSessionUser& koSession::getUser()
{
    const auto current = activeClient();
    return current ? current->getUser() : emptyUser();
}

void koSession::updateUserInfo(const koSessionUser& user)
{
    if (auto current = activeClient())
        current->updateUserInfo(user);
}

std::vector<koSessionUser> koSession::getUsers()
{
    const auto current = activeClient();
    return current ? current->getUsers() : std::vector<koSessionUser>();
}

QString koSession::getSessionLink() const
{
    return sessionLink;
}

QString koSession::getEndReason()
{
    const auto current = joinedClient();
    return current ? current->getEndReason() : QString();
}

std::shared_ptr<koSessionClient> koSession::activeClient()
{
    auto current = joinedClient();
    return current && current->isConnected() ? current : nullptr;
}

std::shared_ptr<koSessionClient> koSession::joinedClient()
{
    return joined ? client : nullptr;
}

// ---------------------------------------------------------------------------
// Default colours

QColor koSession::getDefaultColor(int index) const
{
    return koSessionDefaultColors::getColor(index);
}

QList<std::pair<QColor, QString>> koSession::getDefaultColors() const
{
    return defaultColors;
}

// ---------------------------------------------------------------------------
// Session links

QString koSession::createSessionLink(const QString& address, const QString& password)
{
    return koSessionLinkCoder::create(address, password);
}

koSession::SceneQuestion koSession::setSceneQuestion(SceneQuestion question)
{
    return koSessionClient::setSceneQuestion(std::move(question));
}

bool koSession::tryDecryptSessionLink(const QString& password, const QString& link,
                                      QString& address, QString& sessionId)
{
    return koSessionLinkCoder::tryDecrypt(password, link, address, sessionId);
}
