#include "koSession.h"

#include "koSessionClient.h"
#include "koSessionMutex.h"

#include "koCrypt.h"

#include <QCryptographicHash>
#include <QUuid>

#include <vector>

namespace {

struct DefaultColor
{
    const char* name;
    int red;
    int green;
    int blue;
};

const DefaultColor defaultColorTable[] = {
    {QT_TRANSLATE_NOOP("koSession", "Picton Blue"), 65, 163, 222},
    {QT_TRANSLATE_NOOP("koSession", "Lime"), 168, 193, 46},
    {QT_TRANSLATE_NOOP("koSession", "Yellow Bus"), 252, 215, 0},
    {QT_TRANSLATE_NOOP("koSession", "Flamingo"), 239, 103, 36},
    {QT_TRANSLATE_NOOP("koSession", "Magenta"), 234, 119, 206},
    {QT_TRANSLATE_NOOP("koSession", "Copper"), 126, 89, 49},
    {QT_TRANSLATE_NOOP("koSession", "Pale Sky"), 102, 118, 134},
    {QT_TRANSLATE_NOOP("koSession", "Keppel"), 61, 171, 168},
    {QT_TRANSLATE_NOOP("koSession", "Cerise"), 205, 22, 115},
    {QT_TRANSLATE_NOOP("koSession", "Violet"), 101, 49, 249},
    {QT_TRANSLATE_NOOP("koSession", "Forest"), 47, 136, 27},
    {QT_TRANSLATE_NOOP("koSession", "Royal Blue"), 28, 91, 234},
    {QT_TRANSLATE_NOOP("koSession", "Monarch"), 153, 6, 41},
    {QT_TRANSLATE_NOOP("koSession", "Fire Bush"), 233, 161, 47},
    {QT_TRANSLATE_NOOP("koSession", "Camouflage"), 112, 134, 102},
    {QT_TRANSLATE_NOOP("koSession", "Purple"), 161, 50, 249},
    {QT_TRANSLATE_NOOP("koSession", "Olive"), 107, 167, 45},
    {QT_TRANSLATE_NOOP("koSession", "Rum"), 116, 98, 136},
    {QT_TRANSLATE_NOOP("koSession", "Lotus"), 117, 59, 64},
    {QT_TRANSLATE_NOOP("koSession", "Thunderbird"), 217, 24, 25},
};

constexpr int defaultColorCount = int(sizeof defaultColorTable / sizeof defaultColorTable[0]);

// Identifier field of a link: 5 random bytes; a protected link puts a 16-bit
// check value (low byte first) in front and enciphers all 7.
constexpr int sessionIdSize = 5;
constexpr int checkValueSize = 2;
constexpr int protectedIdSize = checkValueSize + sessionIdSize;

quint16 checkValueOf(const QByteArray& sessionId)
{
    return qChecksum(sessionId.constData(), static_cast<uint>(sessionId.size()));
}

// What getUser answers without an active session: one record for the whole
// process, so a caller may keep the reference.
const koSessionUser& emptyUser()
{
    static const koSessionUser empty;
    return empty;
}

} // namespace

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
{
    QList<std::pair<QColor, QString>> colors;
    colors.reserve(defaultColorCount);
    for (const DefaultColor& entry : defaultColorTable)
        colors.append({QColor(entry.red, entry.green, entry.blue, 255), tr(entry.name)});
    defaultColors = colors;
}

koSession::~koSession() = default;

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
    const int count = defaultColors.size();
    return defaultColors.at(((index % count) + count) % count).first;
}

QList<std::pair<QColor, QString>> koSession::getDefaultColors() const
{
    return defaultColors;
}

// ---------------------------------------------------------------------------
// Session links

QString koSession::createSessionLink(const QString& address, const QString& password)
{
    const QByteArray digest = QCryptographicHash::hash(QUuid::createUuid().toString().toUtf8(),
                                                       QCryptographicHash::Sha256);
    QByteArray bytes = digest.left(sessionIdSize);
    if (!password.isEmpty()) {
        const quint16 check = checkValueOf(bytes);
        bytes.prepend(char(check >> 8));
        bytes.prepend(char(check & 0xff));
        cryptSessionId(password, bytes);
    }
    return address + QLatin1Char('/') + QString::fromLatin1(bytes.toHex());
}

koSession::SceneQuestion koSession::setSceneQuestion(SceneQuestion question)
{
    return koSessionClient::setSceneQuestion(std::move(question));
}

bool koSession::tryDecryptSessionLink(const QString& password, const QString& link,
                                      QString& address, QString& sessionId)
{
    const QString separator = QStringLiteral("/");
    address = link.section(separator, 0, 0);
    sessionId = link.section(separator, 1, -1);
    QByteArray bytes = QByteArray::fromHex(sessionId.toUtf8());

    // Only the decoded length tells a protected link from an unprotected one.
    const bool isProtected = bytes.size() == protectedIdSize;
    if (password.isEmpty())
        return !isProtected;
    if (!isProtected)
        return false;

    cryptSessionId(password, bytes);
    const quint16 stored = quint16(quint8(bytes.at(0)) | (quint8(bytes.at(1)) << 8));
    bytes.remove(0, checkValueSize);
    // A wrong password shows only as a check value that does not match.
    if (stored != checkValueOf(bytes))
        return false;
    sessionId = QString::fromLatin1(bytes.toHex());
    return true;
}

void koSession::cryptSessionId(const QString& password, QByteArray& data)
{
    const QByteArray digest = QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256);
    const std::vector<unsigned char> key(digest.constBegin(), digest.constEnd());
    koCrypt coder(key);
    QByteArray coded;
    coded.reserve(data.size());
    for (const char byte : qAsConst(data))
        coded.append(char(coder.code(static_cast<unsigned char>(byte))));
    data = coded;
}
