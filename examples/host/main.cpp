// kosession-host: a console application that takes part in a koSession
// session the way a host application does.
//
//   kosession-host [--name NAME] [--password PASSWORD] [--seconds N] LINK
//   kosession-host --host [--name NAME] [--password PASSWORD] [--seconds N]
//   kosession-host --version
//
// With --host it hosts the session itself: it runs a koSessionServer in this
// process on a free port of 127.0.0.1, prints the session link for the others
// and joins it like any participant; when it leaves, it ends the session for
// everybody and stops the server.
//
// It joins the session of LINK, loads the session's scene when there is one,
// moves a marker of its own and says hello every half second, and prints the
// roster and every command it executes. It rejoins when the connection to the
// server is lost, and leaves after N seconds (default: when the session ends
// or cannot be rejoined), on Ctrl-C and on SIGTERM. It talks with
// kosession-client: both know "TextMessage" and "LoadScene".
#include "koNetError.h"
#include "koSession.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"
#include "koSessionRejoiner.h"
#include "koSessionServer.h"
#include "koSessionUser.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QHash>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

volatile std::sig_atomic_t interrupted = 0;
// Participant names by user identifier, kept from the roster signals.
QHash<koSessionUserId, QString> names;
// Set when a scene is announced; the download happens outside execution.
bool sceneAnnounced = false;

void print(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString nameOf(koSessionUserId userId)
{
    return names.value(userId, QStringLiteral("user %1").arg(userId));
}

// The host's own command: moves a marker in the scene. Made without
// arguments it is state-mergable (a late joiner gets only each marker's
// newest position) and echoing: the server sends it back to its sender too,
// so every participant, the sender included, applies it when it arrives.
class MoveMarkerCommand : public koSessionCommand
{
public:
    MoveMarkerCommand() = default;
    MoveMarkerCommand(const QString& marker, int x) : marker(marker), x(x) {}
    void execute(koSessionClient*) const override
    {
        print(QStringLiteral("%1 moved %2 to %3").arg(nameOf(getChangedBy()), marker).arg(x));
    }
    void putStateId(QDataStream& out) const override { out << marker; }
    void putData(QDataStream& out) const override { out << marker << qint32(x); }
    void getData(QDataStream& in) override
    {
        qint32 value = 0;
        in >> marker >> value;
        x = value;
    }

private:
    QString marker;
    int x = 0;
};

// A line of text as kosession-client's "say" sends it: not state-mergable,
// not echoing, transient (not kept for participants who join later).
class TextMessageCommand : public koSessionCommand
{
public:
    TextMessageCommand() : koSessionCommand(false, false, true) {}
    explicit TextMessageCommand(const QString& text) : TextMessageCommand() { this->text = text; }
    void execute(koSessionClient*) const override
    {
        print(QStringLiteral("%1 says: %2").arg(nameOf(getChangedBy()), text));
    }
    void putData(QDataStream& out) const override { out << text << quint16(0); }
    void getData(QDataStream& in) override
    {
        quint16 addressee = 0;
        in >> text >> addressee;
    }

private:
    QString text;
};

// Announces that a participant stored its scene on the server. The library
// knows this name: it drops the changes made before it, and asks a joiner
// whether to load the scene. This host only receives it.
class LoadSceneCommand : public koSessionCommand
{
public:
    LoadSceneCommand() : koSessionCommand(true, false, false) {}
    void execute(koSessionClient*) const override
    {
        print(QStringLiteral("%1 stored the scene \"%2\"").arg(nameOf(getChangedBy()), name));
        sceneAnnounced = true;
    }
    void getData(QDataStream& in) override { in >> name; }

private:
    QString name;
};

const koSessionCommandFactory::Register<MoveMarkerCommand> registerMoveMarker("MoveMarker");
const koSessionCommandFactory::Register<TextMessageCommand> registerTextMessage("TextMessage");
const koSessionCommandFactory::Register<LoadSceneCommand> registerLoadScene("LoadScene");

void downloadScene()
{
    std::vector<char> data;
    QString name;
    try {
        koSession::the().downloadScene(data, name); // blocks until the bytes are here
    } catch (const koNetError& e) {
        print(QStringLiteral("downloading the scene failed: %1").arg(QString::fromUtf8(e.what())));
        return;
    }
    // A real host replaces its scene with these bytes here.
    const QByteArray bytes = QByteArray::fromRawData(data.data(), static_cast<int>(data.size()));
    print(QStringLiteral("downloaded the scene \"%1\": %2 bytes, SHA-256 %3")
              .arg(name)
              .arg(data.size())
              .arg(QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())));
}

void connectRoster(koSession& session, QObject* context)
{
    // Roster signals come from executeChanges, on this thread.
    QObject::connect(&session, &koSession::userAdded, context, [](const koSessionUser& user) {
        names[user.getId()] = user.getName();
        print(QStringLiteral("+ %1 (user %2, %3)").arg(user.getName()).arg(user.getId()).arg(user.getColor().name()));
    });
    QObject::connect(&session, &koSession::userChanged, context, [](const koSessionUser& user) {
        names[user.getId()] = user.getName();
        print(QStringLiteral("~ %1 (user %2)").arg(user.getName()).arg(user.getId()));
    });
    QObject::connect(&session, &koSession::userRemoved, context, [](koSessionUserId userId) {
        print(QStringLiteral("- %1 left").arg(nameOf(userId)));
        names.remove(userId);
    });
}

// Starts `server` for a new session on a free port of 127.0.0.1 and returns
// the session's link. Only connections that carry this session get in.
// Throws koNetError when it cannot listen.
QString hostSession(koSessionServer& server, const QString& password)
{
    const QString sessionPart = koSession::createSessionLink(QString(), password); // "/" and the identifier
    QString address;
    QString sessionId;
    koSession::tryDecryptSessionLink(password, sessionPart, address, sessionId);
    server.setSessionId(sessionId);
    server.start(QString(), 0, QStringLiteral("127.0.0.1"));
    return QStringLiteral("127.0.0.1:%1").arg(server.getPort()) + sessionPart;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(KOSESSION_HOST_VERSION)); // from CMakeLists.txt
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Takes part in a koSession session as a host application."));
    parser.addHelpOption();
    // -V as in the koSession programs, where -v means verbose.
    const QCommandLineOption versionOption({QStringLiteral("V"), QStringLiteral("version")},
                                           QStringLiteral("Displays version information."));
    parser.addPositionalArgument(QStringLiteral("link"), QStringLiteral("The session link (not with --host)."));
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Host the session: run its server in this process."));
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("Participant name."),
                                        QStringLiteral("name"), QStringLiteral("host"));
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("The link's password."),
                                            QStringLiteral("password"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Leave after N seconds."),
                                           QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({versionOption, hostOption, nameOption, passwordOption, secondsOption});
    parser.process(app);
    if (parser.isSet(versionOption))
        parser.showVersion();
    const bool hosting = parser.isSet(hostOption);
    if (parser.positionalArguments().size() != (hosting ? 0 : 1))
        parser.showHelp(2);

    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });

    koSession& session = koSession::the();
    connectRoster(session, &app);
    // Without widgets nobody can click the message box: answer here. Yes
    // makes join wait for the scene's announcement; the bytes are fetched
    // with downloadScene when it executes.
    koSession::setSceneQuestion([] {
        print(QStringLiteral("The session holds a scene: loading it."));
        return true;
    });

    koSessionUser me;
    me.setName(parser.value(nameOption));
    me.setColor(Qt::transparent); // the server gives a free colour of the default table
    me.setDeviceName(QStringLiteral("desktop"));
    const QString password = parser.value(passwordOption);
    std::unique_ptr<koSessionServer> server; // --host only
    QString link = hosting ? QString() : parser.positionalArguments().first();
    if (hosting) {
        server = std::make_unique<koSessionServer>();
        try {
            link = hostSession(*server, password);
        } catch (const koNetError& e) {
            print(QStringLiteral("cannot host the session: %1").arg(QString::fromUtf8(e.what())));
            return 1;
        }
        print(QStringLiteral("Session link: %1").arg(link));
    }
    try {
        session.join(link, me, password, false);
    } catch (const koNetError& e) { // also a koSessionVersionError
        print(QStringLiteral("cannot join: %1").arg(QString::fromUtf8(e.what())));
        return 1;
    }
    const koSessionUser& own = session.getUser(); // identifier and colour as the server settled them
    const QString ownName = own.getName();
    print(QStringLiteral("joined as %1 (user %2)").arg(ownName).arg(own.getId()));

    QTimer pump;
    QTimer work;
    koSessionRejoiner rejoiner;
    const auto leave = [&](const QString& why, int status) {
        if (!pump.isActive())
            return;
        rejoiner.stop();
        pump.stop();
        work.stop();
        session.leave();
        print(QStringLiteral("left the session: %1").arg(why));
        QCoreApplication::exit(status);
    };
    // A lost connection (a server restarted, a network down for a while) is
    // joined again: a late join, so the roster and the state the server keeps
    // come again, through the same signals and commands as after the first
    // join. A session that a participant ended for everybody is not rejoined.
    QObject::connect(&rejoiner, &koSessionRejoiner::connectionLost, [] {
        print(QStringLiteral("connection lost; rejoining ..."));
    });
    QObject::connect(&rejoiner, &koSessionRejoiner::rejoined, [&] {
        print(QStringLiteral("rejoined as user %1").arg(session.getUser().getId()));
    });
    QObject::connect(&rejoiner, &koSessionRejoiner::sessionEnded, [&](const QString& why) {
        leave(QStringLiteral("the session ended: %1").arg(why), 0);
    });
    QObject::connect(&rejoiner, &koSessionRejoiner::gaveUp, [&](const QString& why) {
        leave(QStringLiteral("the session was lost: %1").arg(why), 1);
    });
    rejoiner.watch(link, me, password);
    // Received changes execute here, on the main thread, every 20 ms.
    QObject::connect(&pump, &QTimer::timeout, [&] {
        if (interrupted)
            return leave(QStringLiteral("interrupted"), 0);
        session.executeChanges();
        if (sceneAnnounced) {
            sceneAnnounced = false;
            downloadScene();
        }
    });
    pump.start(20);
    // The host's own changes, every half second.
    int step = 0;
    QObject::connect(&work, &QTimer::timeout, [&] {
        ++step;
        session.pushCommand(MoveMarkerCommand(QStringLiteral("marker of %1").arg(ownName), step));
        session.pushCommand(TextMessageCommand(QStringLiteral("hello %1 from %2").arg(step).arg(ownName)));
    });
    work.start(500);
    const int seconds = parser.value(secondsOption).toInt();
    if (seconds > 0)
        QTimer::singleShot(seconds * 1000, [&] { leave(QStringLiteral("time is up"), 0); });
    const int status = app.exec();
    if (server) {
        // The others close instead of taking the end for a lost server.
        server->endSession(QStringLiteral("the host left"));
        server->wait();
        print(QStringLiteral("stopped the session's server"));
    }
    return status;
}
