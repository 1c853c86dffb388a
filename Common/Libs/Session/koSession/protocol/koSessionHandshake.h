#pragma once

#include "koSessionUser.h"

#include <QString>
#include <QStringList>

#include <cstdint>

class koNetStream;

// Both ends of the exchanges that admit a participant, writer beside reader,
// so that the participant and the server cannot drift apart:
//
// - version: the participant sends its display version; the server answers
//   with its own and the names of the participants already in (the same
//   answer whether or not the versions match);
// - join answer: the server sends the settled record, the scene flag (one
//   byte, 1 when the session holds a scene) and the success marker;
// - second link: the participant sends the request and its user identifier
//   (unsigned 16-bit); the server grants it with the success marker.
//
// Every operation is static and flushes what it wrote. Failures are
// koNetError, and koSessionVersionError for a server of another version.
class koSessionHandshake
{
public:
    // The version text this build sends and answers with.
    static QString ownVersion();

    // Participant: sends the own version and reads the server's answer.
    // Throws koSessionVersionError when the versions differ.
    static void checkServerVersion(koNetStream& stream);
    // Server: reads the participant's version.
    static QString readVersion(koNetStream& stream);
    // Server: answers with the own version and the names; returns the own version.
    static QString answerVersion(koNetStream& stream, const QStringList& names);

    // What the server answers an admitted participant.
    struct JoinAnswer
    {
        koSessionUser user;
        bool sceneHeld;
    };
    static void putJoinAnswer(koNetStream& stream, const koSessionUser& user, bool sceneHeld);
    static JoinAnswer getJoinAnswer(koNetStream& stream);

    // Participant: asks for the second link of participant `userId` and
    // waits for the grant.
    static void requestSecondLink(koNetStream& stream, unsigned short userId);
    // Server: the participant that a second link asks for.
    static unsigned short readSecondLinkUser(koNetStream& stream);
    static void grantSecondLink(koNetStream& stream);
};
