#include "koSessionRejoiner.h"

#include "koSession.h"
#include "koSessionVersionError.h"

#include <QPointer>

#include <algorithm>
#include <exception>

koSessionRejoiner::koSessionRejoiner(QObject* parent)
    : QObject(parent)
{
    connect(&watcher, &QTimer::timeout, this, &koSessionRejoiner::look);
    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &koSessionRejoiner::attempt);
}

koSessionRejoiner::~koSessionRejoiner()
{
    stop();
}

void koSessionRejoiner::watch(const QString& sessionLink, const koSessionUser& ownUser, const QString& sessionPassword)
{
    stop();
    link = sessionLink;
    user = ownUser;
    password = sessionPassword;
    watcher.start(WatchMilliseconds);
}

void koSessionRejoiner::stop()
{
    watcher.stop();
    retry.stop();
    rejoining = false;
}

void koSessionRejoiner::setLimitSeconds(int seconds)
{
    limitSeconds = std::max(seconds, 0);
}

int koSessionRejoiner::getLimitSeconds() const
{
    return limitSeconds;
}

bool koSessionRejoiner::isRejoining() const
{
    return rejoining;
}

void koSessionRejoiner::look()
{
    koSession& session = koSession::the();
    if (session.isConnected())
        return;
    watcher.stop();
    if (!session.isJoined())
        return;
    const QString endReason = session.getEndReason();
    if (!endReason.isEmpty()) {
        emit sessionEnded(endReason);
        return;
    }
    rejoining = true;
    lost.start();
    pause = FirstPauseMilliseconds;
    emit connectionLost();
    // Only a handler that stopped us may have run meanwhile.
    if (!rejoining)
        return;
    QString address;
    QString sessionId;
    if (limitSeconds == 0)
        giveUp(tr("the connection to the server closed"));
    else if (!koSession::tryDecryptSessionLink(password, link, address, sessionId))
        giveUp(tr("the password does not open the session link"));
    else
        retry.start(pause);
}

void koSessionRejoiner::attempt()
{
    const QPointer<koSessionRejoiner> self(this);
    QString error;
    bool hopeless = false;
    try {
        koSession::the().join(link, user, password, false);
    } catch (const koSessionVersionError& e) {
        error = tr("the server runs another version (%1)").arg(e.getVersion());
        hopeless = true;
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    // Waiting for the scene processes events: the host may have stopped or
    // destroyed this object meanwhile.
    if (!self || !rejoining)
        return;
    if (error.isEmpty()) {
        rejoining = false;
        watcher.start(WatchMilliseconds);
        emit rejoined();
        return;
    }
    const qint64 left = qint64(limitSeconds) * 1000 - lost.elapsed();
    if (hopeless)
        giveUp(error);
    else if (left <= 0)
        giveUp(tr("no rejoin succeeded within %1 s; the last attempt: %2").arg(limitSeconds).arg(error));
    else {
        pause = std::min(pause * 2, LongestPauseMilliseconds);
        retry.start(int(std::min<qint64>(pause, left)));
    }
}

void koSessionRejoiner::giveUp(const QString& reason)
{
    rejoining = false;
    emit gaveUp(reason);
}
