#include "koCommandInterpreter.h"

#include "koCommandInbox.h"
#include "koTextMessageCommand.h"
#include "koTerminalOutput.h"
#include "koUserLookup.h"
#include "koUserText.h"

#include "koSession.h"
#include "koSessionUserPoseCommand.h"

#include <QRegularExpression>
#include <QStringList>

#include <vector>

namespace {

const char help[] = "Commands, one per line:\n"
                    "  say <text>                    send a message to everybody\n"
                    "  tell <user> <text>            send a message to one participant (name, its start, or number)\n"
                    "  pose <x> <y> <z> [pointer <x> <y> <z>]\n"
                    "                                send your pose: camera at x y z, head, optional pointer\n"
                    "  upload <file>                 store the file as the session's scene and announce it\n"
                    "  download <file>               fetch the session's scene into the file\n"
                    "  spectate <user> | spectate off\n"
                    "                                watch a participant, or stop watching\n"
                    "  users                         list the participants\n"
                    "  stop                          stop the session for everybody\n"
                    "  leave                         leave the session (also: quit, end of input)\n"
                    "  help                          this list";

void fail(const QString& message)
{
    koTerminalOutput::printError(QStringLiteral("error: %1").arg(message));
}

QStringList words(const QString& text)
{
    return text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

// Three numbers from `texts` starting at `first`.
bool toPoint(const QStringList& texts, int first, osg::Point<float, 3>& point)
{
    if (texts.size() < first + 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        point[i] = texts[first + i].toFloat(&ok);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

koCommandInterpreter::koCommandInterpreter()
{
    actions = {
        {QStringLiteral("help"), [](const QString&) { koTerminalOutput::print(helpText()); }},
        {QStringLiteral("say"), [this](const QString& rest) { say(rest); }},
        {QStringLiteral("tell"), [this](const QString& rest) { tell(rest); }},
        {QStringLiteral("pose"), [this](const QString& rest) { pose(rest); }},
        {QStringLiteral("upload"), [this](const QString& rest) { upload(rest); }},
        {QStringLiteral("download"), [this](const QString& rest) { download(rest); }},
        {QStringLiteral("spectate"), [this](const QString& rest) { spectate(rest); }},
        {QStringLiteral("users"), [this](const QString&) { listUsers(); }},
        {QStringLiteral("stop"), [this](const QString&) { stopForAll(); }},
        {QStringLiteral("leave"), [this](const QString&) { leave(); }},
        {QStringLiteral("quit"), [this](const QString&) { leave(); }},
    };
    connect(&koCommandInbox::the(), &koCommandInbox::sceneAnnounced, this,
            [this](unsigned short, const QString& name, qint64 size, const QByteArray& checksum) {
                announcement = koSceneTransfer::Announcement{name, size, checksum};
            });
}

void koCommandInterpreter::run(const QString& verb, const QString& rest)
{
    const auto action = actions.find(verb);
    if (action == actions.end()) {
        fail(QStringLiteral("unknown command '%1'; 'help' lists them").arg(verb));
        return;
    }
    action->second(rest);
}

QString koCommandInterpreter::helpText()
{
    return QString::fromLatin1(help);
}

void koCommandInterpreter::say(const QString& rest)
{
    if (rest.isEmpty()) {
        fail(QStringLiteral("say what? 'say <text>'"));
        return;
    }
    koSession::the().pushCommand(koTextMessageCommand(rest));
}

void koCommandInterpreter::tell(const QString& rest)
{
    const int blank = rest.indexOf(QLatin1Char(' '));
    if (blank < 0) {
        fail(QStringLiteral("'tell <user> <text>', with the user's name or number from 'users'"));
        return;
    }
    QString error;
    const unsigned short to = koUserLookup::findOther(rest.left(blank), QStringLiteral("tell"), error);
    if (to == 0) {
        fail(error);
        return;
    }
    koSession::the().pushCommand(koTextMessageCommand(rest.mid(blank + 1).trimmed(), to));
}

// Poses are many and short-lived, so they take the second link.
void koCommandInterpreter::pose(const QString& rest)
{
    const QStringList texts = words(rest);
    osg::Point<float, 3> position;
    osg::Point<float, 3> target;
    const bool withPointer = texts.size() == 7 && texts[3] == QLatin1String("pointer");
    if (!toPoint(texts, 0, position) || (texts.size() != 3 && !withPointer)
        || (withPointer && !toPoint(texts, 4, target))) {
        fail(QStringLiteral("'pose <x> <y> <z> [pointer <x> <y> <z>]', with numbers"));
        return;
    }
    osg::TransformationMatrix<float> camera;
    for (int i = 0; i < 3; ++i)
        camera[12 + i] = position[i];
    koSessionUserPoseCommand command(koSession::the().getUser().getId(), camera);
    command.setHeadTracker(osg::TransformationMatrix<float>::identity());
    if (withPointer)
        command.setPointer(position, target);
    koSession::the().pushAsyncCommand(command);
}

void koCommandInterpreter::upload(const QString& rest)
{
    if (rest.isEmpty()) {
        fail(QStringLiteral("'upload <file>'"));
        return;
    }
    koSceneTransfer::upload(rest);
}

void koCommandInterpreter::download(const QString& rest)
{
    if (rest.isEmpty()) {
        fail(QStringLiteral("'download <file>'"));
        return;
    }
    koSceneTransfer::download(rest, announcement);
}

void koCommandInterpreter::spectate(const QString& rest)
{
    koSessionUser user = koSession::the().getUser();
    if (rest.isEmpty()) {
        fail(QStringLiteral("'spectate <user>' with the user's name or number from 'users', or 'spectate off'"));
        return;
    }
    QString error;
    const unsigned short target =
        rest == QLatin1String("off") ? 0 : koUserLookup::findOther(rest, QStringLiteral("spectate"), error);
    if (!error.isEmpty()) {
        fail(error);
        return;
    }
    user.setIsSpectator(target != 0);
    user.setSpectatedUserId(target);
    koSession::the().updateUserInfo(user);
}

void koCommandInterpreter::listUsers()
{
    const std::vector<koSessionUser> users = koSession::the().getUsers();
    const unsigned short ownId = koSession::the().getUser().getId();
    koTerminalOutput::print(QStringLiteral("%1 participant(s):").arg(users.size()));
    for (const koSessionUser& user : users)
        koTerminalOutput::print(QStringLiteral("  %1%2").arg(
            koUserText::describe(user), user.getId() == ownId ? QStringLiteral(" (you)") : QString()));
}

void koCommandInterpreter::stopForAll()
{
    koSession::the().stopForAll();
    emit sessionLeft(QStringLiteral("stopped the session for everybody"));
}

void koCommandInterpreter::leave()
{
    koSession::the().leave();
    emit sessionLeft(QStringLiteral("left the session"));
}
