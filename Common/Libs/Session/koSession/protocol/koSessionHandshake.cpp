#include "koSessionHandshake.h"

#include "koSessionVersionError.h"
#include "koSessionWire.h"

#include "koNetStream.h"
#include "koVersionInfo.h"

QString koSessionHandshake::ownVersion()
{
    return QString::fromUtf8(koVersionInfo::the().getDisplayVersionYearString().c_str());
}

void koSessionHandshake::checkServerVersion(koNetStream& stream)
{
    const QString ownVersion = koSessionHandshake::ownVersion();
    koSessionWire::putText(stream, ownVersion);
    stream.flush();
    const QString serverVersion = koSessionWire::getText(stream, "Server version text");
    const QStringList userNames = koSessionWire::getNames(stream);
    if (ownVersion != serverVersion)
        throw koSessionVersionError(serverVersion, userNames);
}

QString koSessionHandshake::readVersion(koNetStream& stream)
{
    return koSessionWire::getText(stream);
}

QString koSessionHandshake::answerVersion(koNetStream& stream, const QStringList& names)
{
    const QString own = ownVersion();
    koSessionWire::putText(stream, own);
    koSessionWire::putNames(stream, names);
    stream.flush();
    return own;
}

void koSessionHandshake::putJoinAnswer(koNetStream& stream, const koSessionUser& user, bool sceneHeld)
{
    user.putValue(stream);
    stream.putValue(static_cast<std::uint8_t>(sceneHeld ? 1 : 0));
    stream.sendSuccess();
    stream.flush();
}

koSessionHandshake::JoinAnswer koSessionHandshake::getJoinAnswer(koNetStream& stream)
{
    JoinAnswer answer{koSessionUser(), false};
    answer.user.getValue(stream);
    answer.sceneHeld = stream.getValue<std::uint8_t>() != 0;
    stream.recvResult();
    return answer;
}

void koSessionHandshake::requestSecondLink(koNetStream& stream, unsigned short userId)
{
    koSessionWire::putRequest(stream, koSessionWire::RequestAsyncStream);
    stream.flush();
    stream.putValue(static_cast<std::uint16_t>(userId));
    stream.flush();
    stream.recvResult();
}

unsigned short koSessionHandshake::readSecondLinkUser(koNetStream& stream)
{
    unsigned short userId = 0;
    stream.getValue(userId);
    return userId;
}

void koSessionHandshake::grantSecondLink(koNetStream& stream)
{
    stream.sendSuccess();
    stream.flush();
}
