#include "koTerminalParticipant.h"

#include "koCommandInbox.h"
#include "koEventWait.h"
#include "koInterruptWatcher.h"
#include "koJoinCanceller.h"
#include "koJoinProblem.h"
#include "koTerminalOutput.h"
#include "koTerminalText.h"
#include "koUserText.h"

#include "koSessionClient.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionVersionError.h"

#include "koNetProgress.h"
#include "koVersionInfo.h"

#include <QCoreApplication>

namespace {

// How often received changes are executed: often enough that the program
// adds nothing noticeable to the links' own 40 and 20 ms cycles.
constexpr int tickMilliseconds = 5;
// How long the roster may take after the handshake: it comes within the
// main link's next cycles unless the server is overloaded or gone.
constexpr std::chrono::seconds rosterWait(15);

QString point(const float* values)
{
    return QStringLiteral("(%1, %2, %3)").arg(values[0]).arg(values[1]).arg(values[2]);
}

void copyPoint(const osg::Point<float, 3>& from, float* to)
{
    for (int i = 0; i < 3; ++i)
        to[i] = from[i];
}

} // namespace

koTerminalParticipant::koTerminalParticipant(const koClientOptions& options)
    : options(options)
{
    connect(&ticker, &QTimer::timeout, this, [this] { tick(); });
    connect(&reader, &koCommandReader::commandRead, this, &koTerminalParticipant::command);
    connect(&reader, &koCommandReader::inputClosed, this, &koTerminalParticipant::inputClosed);
    connect(&interpreter, &koCommandInterpreter::sessionLeft, this, [this](const QString& how) { end(how, 0); });
    connectRejoiner();
}

void koTerminalParticipant::connectRejoiner()
{
    rejoiner.setLimitSeconds(options.getRejoinSeconds());
    connect(&rejoiner, &koSessionRejoiner::connectionLost, this, [this] {
        if (rejoiner.getLimitSeconds() == 0)
            return;
        koTerminalOutput::print(QStringLiteral("connection lost; rejoining ..."));
        canceller = std::make_unique<koJoinCanceller>(koSession::the());
    });
    connect(&rejoiner, &koSessionRejoiner::rejoined, this, &koTerminalParticipant::rejoined);
    connect(&rejoiner, &koSessionRejoiner::gaveUp, this, [this](const QString& reason) {
        canceller.reset();
        endUnsent(QStringLiteral("session lost: %1").arg(reason), 1);
    });
    connect(&rejoiner, &koSessionRejoiner::sessionEnded, this, [this](const QString& reason) {
        endUnsent(QStringLiteral("session ended: %1").arg(koTerminalText::escaped(reason)), 0);
    });
}

void koTerminalParticipant::command(const QString& verb, const QString& rest)
{
    if (ended)
        return;
    if (replayKept || rejoiner.isRejoining() || !koSession::the().isConnected())
        kept.emplace_back(verb, rest);
    else
        interpreter.run(verb, rest);
}

void koTerminalParticipant::inputClosed()
{
    if (ended)
        return;
    if (replayKept || rejoiner.isRejoining() || !koSession::the().isConnected()) {
        leaveAfterRejoin = true;
        return;
    }
    koSession::the().leave();
    end(QStringLiteral("left the session (end of input)"), 0);
}

void koTerminalParticipant::rejoined()
{
    canceller.reset();
    koTerminalOutput::print(QStringLiteral("rejoined"));
    replayKept = true;
}

// Once the roster is back, so that the kept lines find the participants they name.
void koTerminalParticipant::replay()
{
    if (!replayKept || !koSession::the().isJoinCompleted())
        return;
    replayKept = false;
    std::vector<std::pair<QString, QString>> lines;
    lines.swap(kept);
    for (const auto& line : lines)
        command(line.first, line.second);
    if (leaveAfterRejoin)
        inputClosed();
}

void koTerminalParticipant::endUnsent(const QString& message, int exitCode)
{
    if (!kept.empty())
        koTerminalOutput::print(QStringLiteral("%1 line(s) typed while the connection was down were not sent")
                                    .arg(kept.size()));
    kept.clear();
    end(message, exitCode);
}

koTerminalParticipant::~koTerminalParticipant()
{
    // Poses arrive on a library thread; none may reach this object once it goes.
    disconnect(&koSession::the(), nullptr, this, nullptr);
}

bool koTerminalParticipant::join()
{
    const bool loadScene = options.getLoadScene();
    koSessionClient::setSceneQuestion([loadScene] {
        koTerminalOutput::print(loadScene ? QStringLiteral("The session holds a scene: waiting for the session's "
                                                           "scene announcement.")
                                          : QStringLiteral("The session holds a scene: declined."));
        return loadScene;
    });
    connectSignals();
    const QString problem = koJoinProblem::ofLink(options.getLink(), options.getPassword(), options.getPasswordOrigin());
    if (!problem.isEmpty()) {
        printJoinError(problem);
        return false;
    }
    if (!tryJoin() || !awaitRoster() || !checkSpectated())
        return false;
    const koSessionUser& own = koSession::the().getUser();
    koTerminalOutput::print(QStringLiteral("joined %1 as %2").arg(options.getLink(), describe(own)));
    joinedSaid = true;
    showHeld();
    ticker.start(tickMilliseconds);
    reader.start();
    rejoiner.watch(options.getLink(), ownRecord(), options.getPassword());
    return true;
}

koSessionUser koTerminalParticipant::ownRecord() const
{
    koSessionUser user;
    user.setColor(options.getColor());
    user.setDeviceName(QStringLiteral("terminal"));
    user.setIsSpectator(options.getSpectatedUserId() != 0);
    user.setSpectatedUserId(options.getSpectatedUserId());
    user.setName(options.getName());
    return user;
}

bool koTerminalParticipant::tryJoin()
{
    try {
        koJoinCanceller canceller(koSession::the());
        try {
            koSession::the().join(options.getLink(), ownRecord(), options.getPassword(), false);
        } catch (...) {
            // The progress bar turns a Ctrl-C during the wait for the scene into an abort.
            if (!canceller.hasCancelled() && !koNetProgress::isAborting())
                throw;
        }
        // Also a Ctrl-C that came just as the join completed.
        if (canceller.hasCancelled() || koNetProgress::isAborting()) {
            koSession::the().leave();
            koTerminalOutput::printError(QStringLiteral("kosession-client: join cancelled"));
            return false;
        }
    } catch (const koSessionVersionError& e) {
        printVersionError(e);
        return false;
    } catch (const std::exception& e) {
        printJoinError(koJoinProblem::ofFailure(QString::fromUtf8(e.what())));
        return false;
    }
    return true;
}

// "joined" means the roster, with this participant in it, is here: a
// script's first command finds the others.
bool koTerminalParticipant::awaitRoster()
{
    koSession& session = koSession::the();
    const bool complete = koEventWait::until(
        [this, &session] {
            executeReceived();
            return session.isJoinCompleted() || !session.isConnected();
        },
        rosterWait);
    if (complete && session.isJoinCompleted())
        return true;
    const bool cancelled = koInterruptWatcher::takeRaised();
    const bool connected = session.isConnected();
    session.leave();
    if (cancelled)
        koTerminalOutput::printError(QStringLiteral("kosession-client: join cancelled"));
    else if (!connected)
        printJoinError(QStringLiteral("the server closed the connection before it sent the participant list; try "
                                      "again"));
    else
        printJoinError(QStringLiteral("the server sent no participant list within %1 s; it may be overloaded: try "
                                      "again later")
                           .arg(rosterWait.count()));
    return false;
}

// The user number of --spectate was given before the participants could be
// seen: only now can it be refused.
bool koTerminalParticipant::checkSpectated()
{
    const unsigned short spectated = options.getSpectatedUserId();
    if (spectated == 0 || (names.count(spectated) != 0 && spectated != koSession::the().getUser().getId()))
        return true;
    koSession::the().leave();
    printJoinError(QStringLiteral("no other participant has the user number %1 for --spectate; join without it, "
                                  "then 'users' lists the participants and 'spectate <user>' picks one")
                       .arg(spectated));
    return false;
}

void koTerminalParticipant::printJoinError(const QString& message) const
{
    koTerminalOutput::printError(koTerminalText::escaped(
        QStringLiteral("kosession-client: cannot join %1: %2").arg(options.getLink(), message)));
}

void koTerminalParticipant::printVersionError(const koSessionVersionError& e) const
{
    const QString others = e.getUserNames().isEmpty()
        ? QStringLiteral("nobody")
        : QStringLiteral("\"%1\"").arg(e.getUserNames().join(QStringLiteral("\", \"")));
    koTerminalOutput::printError(koTerminalText::escaped(
        QStringLiteral("kosession-client: cannot join: the server runs version \"%1\", this program \"%2\" "
                       "(%3). Already in the session: %4.")
            .arg(e.getVersion(), QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString()),
                 QString::fromUtf8(e.what()), others)));
}

void koTerminalParticipant::connectSignals()
{
    koSession& session = koSession::the();
    connect(&session, &koSession::userAdded, this, &koTerminalParticipant::userAdded);
    connect(&session, &koSession::userChanged, this, &koTerminalParticipant::userChanged);
    connect(&session, &koSession::userRemoved, this, &koTerminalParticipant::userRemoved);
    // Direct: the pose lives only during the emission.
    connect(&session, &koSession::poseChanged, this, &koTerminalParticipant::poseArrived, Qt::DirectConnection);
    connect(&koCommandInbox::the(), &koCommandInbox::messageReceived, this,
            [this](unsigned short from, const QString& text, bool toMeOnly) {
                show([this, from, text, toMeOnly] { printMessage(from, text, toMeOnly); });
            });
    connect(&koCommandInbox::the(), &koCommandInbox::sceneAnnounced, this,
            [this](unsigned short from, const QString& name, qint64 size, const QByteArray&) {
                show([this, from, name, size] { printScene(from, name, size); });
            });
}

void koTerminalParticipant::tick()
{
    if (ended || interrupted())
        return;
    executeReceived();
    showHeld();
    printArrivedPoses();
    replay();
}

void koTerminalParticipant::executeReceived()
{
    try {
        koSession::the().executeChanges();
    } catch (const std::exception& e) {
        koTerminalOutput::printError(QStringLiteral("error: a received change failed: %1").arg(QString::fromUtf8(e.what())));
    }
}

bool koTerminalParticipant::interrupted()
{
    const bool cancelled = canceller && canceller->hasCancelled();
    if (!koInterruptWatcher::takeRaised() && !cancelled)
        return false;
    rejoiner.stop();
    canceller.reset();
    koSession::the().leave();
    endUnsent(QStringLiteral("left the session (interrupted)"), 0);
    return true;
}

void koTerminalParticipant::end(const QString& message, int exitCode)
{
    if (ended)
        return;
    ended = true;
    ticker.stop();
    koTerminalOutput::print(message);
    emit finished(exitCode);
}

// Until the roster is here (and, on the first join, "joined" is said), what
// the received changes print waits: those lines name participants that the
// roster is about to introduce. A lost connection lets them out.
bool koTerminalParticipant::holding() const
{
    koSession& session = koSession::the();
    return !joinedSaid || (session.isConnected() && !session.isJoinCompleted());
}

void koTerminalParticipant::show(std::function<void()> printer)
{
    held.push_back(std::move(printer));
    showHeld();
}

void koTerminalParticipant::showHeld()
{
    if (holding())
        return;
    std::vector<std::function<void()>> printers;
    printers.swap(held);
    for (const auto& printer : printers)
        printer();
}

void koTerminalParticipant::userAdded(const koSessionUser& user)
{
    names[user.getId()] = user.getName();
    show([this, user] { koTerminalOutput::print(QStringLiteral("+ %1").arg(describe(user))); });
}

void koTerminalParticipant::userChanged(const koSessionUser& user)
{
    names[user.getId()] = user.getName();
    show([this, user] { koTerminalOutput::print(QStringLiteral("~ %1").arg(describe(user))); });
}

void koTerminalParticipant::userRemoved(koSessionUserId userId)
{
    const QString who = nameOf(userId);
    names.erase(userId);
    show([who] { koTerminalOutput::print(QStringLiteral("- %1 left").arg(who)); });
}

void koTerminalParticipant::poseArrived(const koSessionUserPoseCommand* pose)
{
    PoseSummary summary;
    summary.userId = pose->getUserId();
    for (int i = 0; i < 3; ++i)
        summary.camera[i] = pose->getCamera()[12 + i];
    summary.head = pose->hasHead();
    summary.leftHand = pose->hasLeftHand();
    summary.rightHand = pose->hasRightHand();
    summary.pointer = pose->hasPointer();
    copyPoint(pose->getPointerFrom(), summary.pointerFrom);
    copyPoint(pose->getPointerTo(), summary.pointerTo);
    std::lock_guard<std::mutex> lock(poseMutex);
    arrivedPoses.push_back(summary);
}

void koTerminalParticipant::printArrivedPoses()
{
    // They wait with the other lines, so that they name their senders.
    if (holding())
        return;
    std::vector<PoseSummary> poses;
    {
        std::lock_guard<std::mutex> lock(poseMutex);
        poses.swap(arrivedPoses);
    }
    for (const PoseSummary& pose : poses)
        printPose(pose);
}

void koTerminalParticipant::printPose(const PoseSummary& pose)
{
    QString text = QStringLiteral("pose from %1: camera %2").arg(nameOf(pose.userId), point(pose.camera));
    if (pose.head)
        text += QStringLiteral(", head");
    if (pose.leftHand)
        text += QStringLiteral(", left hand");
    if (pose.rightHand)
        text += QStringLiteral(", right hand");
    if (pose.pointer)
        text += QStringLiteral(", pointer %1 -> %2").arg(point(pose.pointerFrom), point(pose.pointerTo));
    koTerminalOutput::print(text);
}

void koTerminalParticipant::printMessage(unsigned short from, const QString& text, bool toMeOnly)
{
    koTerminalOutput::print(QStringLiteral("%1 from %2: %3")
                                .arg(toMeOnly ? QStringLiteral("private message") : QStringLiteral("message"),
                                     nameOf(from), koTerminalText::escaped(text)));
}

void koTerminalParticipant::printScene(unsigned short from, const QString& name, qint64 size)
{
    koTerminalOutput::print(QStringLiteral("scene from %1: \"%2\", %3 bytes; 'download <file>' fetches it")
                                .arg(nameOf(from), koTerminalText::escaped(name))
                                .arg(size));
}

QString koTerminalParticipant::nameOf(unsigned short userId) const
{
    const auto found = names.find(userId);
    if (found != names.end())
        return koUserText::name(userId, found->second);
    // Changes kept for later joiners outlive their makers' stay.
    return koSession::the().isJoinCompleted() ? QStringLiteral("a participant who has left")
                                              : QStringLiteral("user %1").arg(userId);
}

QString koTerminalParticipant::describe(const koSessionUser& user) const
{
    const bool own = user.getId() == koSession::the().getUser().getId();
    return koUserText::describe(user) + (own ? QStringLiteral(" (you)") : QString());
}
