#include "koTerminalParticipant.h"

#include "koCommandInbox.h"
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
        koTerminalOutput::print(loadScene ? QStringLiteral("The session holds a scene: waiting for its announcement.")
                                          : QStringLiteral("The session holds a scene: declined."));
        return loadScene;
    });
    connectSignals();
    const QString problem = koJoinProblem::ofLink(options.getLink(), options.getPassword());
    if (!problem.isEmpty()) {
        printJoinError(problem);
        return false;
    }
    if (!tryJoin())
        return false;
    const koSessionUser& own = koSession::the().getUser();
    koTerminalOutput::print(QStringLiteral("joined %1 as %2").arg(options.getLink(), describe(own)));
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
    connect(&koCommandInbox::the(), &koCommandInbox::messageReceived, this, &koTerminalParticipant::printMessage);
    connect(&koCommandInbox::the(), &koCommandInbox::sceneAnnounced, this,
            [this](unsigned short from, const QString& name, qint64 size, const QByteArray&) {
                printScene(from, name, size);
            });
}

void koTerminalParticipant::tick()
{
    koSession& session = koSession::the();
    if (ended || interrupted())
        return;
    printArrivedPoses();
    try {
        session.executeChanges();
    } catch (const std::exception& e) {
        koTerminalOutput::printError(QStringLiteral("error: a received change failed: %1").arg(QString::fromUtf8(e.what())));
    }
    replay();
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

void koTerminalParticipant::userAdded(const koSessionUser& user)
{
    names[user.getId()] = user.getName();
    koTerminalOutput::print(QStringLiteral("+ %1").arg(describe(user)));
}

void koTerminalParticipant::userChanged(const koSessionUser& user)
{
    names[user.getId()] = user.getName();
    koTerminalOutput::print(QStringLiteral("~ %1").arg(describe(user)));
}

void koTerminalParticipant::userRemoved(koSessionUserId userId)
{
    koTerminalOutput::print(QStringLiteral("- %1 left").arg(nameOf(userId)));
    names.erase(userId);
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
    // Changes kept for later joiners may come before the roster that names their makers.
    const auto found = names.find(userId);
    return found == names.end() ? QStringLiteral("user %1").arg(userId) : koUserText::name(userId, found->second);
}

QString koTerminalParticipant::describe(const koSessionUser& user) const
{
    const bool own = user.getId() == koSession::the().getUser().getId();
    return koUserText::describe(user) + (own ? QStringLiteral(" (you)") : QString());
}
