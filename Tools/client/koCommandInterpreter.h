#pragma once

#include "koSceneTransfer.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>

// Carries out the commands typed at the terminal participant: messages,
// poses, scene transfers, spectating, the roster, stopping and leaving, all
// through the session facade. Main thread, while the session is active.
class koCommandInterpreter : public QObject
{
    Q_OBJECT

public:
    koCommandInterpreter();

    // Runs one command; prints an error for an unknown verb or bad arguments.
    void run(const QString& verb, const QString& rest);
    // One line per command.
    static QString helpText();

signals:
    // The participant has left the session (or stopped it for everybody);
    // `how` says which.
    void sessionLeft(const QString& how);

private:
    using Action = std::function<void(const QString& rest)>;

    void say(const QString& rest);
    void tell(const QString& rest);
    void pose(const QString& rest);
    void upload(const QString& rest);
    void download(const QString& rest);
    void spectate(const QString& rest);
    void listUsers();
    void stopForAll();
    void leave();

    std::map<QString, Action> actions;
    // The newest LoadScene announcement, to check a download against.
    koSceneTransfer::Announcement announcement;
};
