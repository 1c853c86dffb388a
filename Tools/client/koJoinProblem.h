#pragma once

#include <QString>

// What to tell a user whose join cannot work, in words that say what to do.
class koJoinProblem
{
public:
    // Why `link` cannot be joined with `password`, judged from the two alone;
    // empty when the join may go ahead, which is whenever the library's
    // koSession::tryDecryptSessionLink takes them. `origin` names where the
    // password came from ("--password-file"). A protected link carries a 16-bit
    // check value of its identifier under the password, and that is all
    // there is to judge by: a mistyped digit in a protected link reads as a
    // password that does not match.
    static QString ofLink(const QString& link, const QString& password, const QString& origin);
    // The message for a join that failed with `error`, the library's text:
    // the server's address for a connection that nobody answered, else
    // `error` itself.
    static QString ofFailure(const QString& error);
};
