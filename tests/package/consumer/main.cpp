// Calls into the installed library through its public headers only and checks
// what comes back; prints where the library was loaded from so the test can
// tell that the installed copy was used. It includes every installed header,
// which therefore must compile on its own.
#include "koLog.h"
#include "koNetError.h"
#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionVersionError.h"

#include <QCoreApplication>
#include <QDataStream>

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    failures += ok ? 0 : 1;
}

std::string libraryOf(const void* symbol)
{
    Dl_info info{};
    return dladdr(symbol, &info) && info.dli_fname ? info.dli_fname : "unknown";
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QString password = QStringLiteral("consumer9");
    const QString link = koSession::createSessionLink(QStringLiteral("127.0.0.1:9"), password);
    QString address, sessionId;
    check(koSession::tryDecryptSessionLink(password, link, address, sessionId)
              && address == QStringLiteral("127.0.0.1:9") && sessionId.size() == 10,
          "a protected link reads back with its password");
    check(!koSession::tryDecryptSessionLink(QStringLiteral("other"), link, address, sessionId),
          "and not with another one");

    koSessionUser user;
    user.setName(QStringLiteral("consumer"));
    user.setColor(Qt::transparent);
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        user.put(out);
    }
    koSessionUser back;
    QDataStream in(bytes);
    back.get(in);
    check(in.status() == QDataStream::Ok && !(back != user), "the participant record reads back");

    // The library's errors must be catchable by type across its boundary.
    bool caught = false;
    try {
        koSession::the().join(QStringLiteral("not a session link"), user, QString(), false);
    } catch (const koNetError& e) {
        caught = !dynamic_cast<const koSessionVersionError*>(&e) && !std::string(e.what()).empty();
    }
    check(caught && !koSession::the().isConnected(), "a bad link throws koNetError out of join");

    std::printf("koSession loaded from %s\n", libraryOf(reinterpret_cast<const void*>(&koSession::the)).c_str());
    return failures == 0 ? 0 : 1;
}
