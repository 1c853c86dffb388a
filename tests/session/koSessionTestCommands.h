#pragma once

// Command classes of the whole-session tests and the thread-safe record of
// what each participant executed. Registered (koSessionTestCommands.cpp) as
// "SessionTestText", "SessionTestState", "SessionTestReact" and "LoadScene".

#include "koSessionCommand.h"

#include <QString>

#include <mutex>
#include <thread>
#include <vector>

// One execution of a test command by a joining participant.
struct koExecuted
{
    unsigned short executor = 0;  // the executing client's user identifier
    unsigned short changedBy = 0; // the maker, as the record carried it
    QString text;
    bool onMainThread = false;
};

// What the participants of a test executed, in order; any thread may add.
class koExecutionLog
{
public:
    static koExecutionLog& the();

    // The thread that counts as the application's main thread.
    void reset(std::thread::id mainThread);
    void add(unsigned short executor, unsigned short changedBy, const QString& text);
    std::vector<koExecuted> all() const;
    // Texts that `executor` executed, in order; `thread` picks main-thread
    // executions (1), others (0) or both (-1).
    QStringList texts(unsigned short executor, int thread = -1) const;
    bool has(unsigned short executor, const QString& text) const;

private:
    // Guards entries and mainThread; taken by every operation.
    mutable std::mutex mutex;
    std::vector<koExecuted> entries;
    std::thread::id mainThread;
};

// A text; not state-mergable, echoing unless told otherwise.
class koTextCommand : public koSessionCommand
{
public:
    koTextCommand();
    explicit koTextCommand(const QString& text, bool echoing = true);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString text;
};

// A value under a key: state-mergable, one state per key. Logs "key=value".
class koStateCommand : public koSessionCommand
{
public:
    koStateCommand();
    koStateCommand(const QString& key, int value);

    void execute(koSessionClient* client) const override;
    void putStateId(QDataStream& stream) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString key;
    int value = 0;
};

// Registered as "LoadScene": cuts the history. Logs "LoadScene:<name>".
class koLoadSceneCommand : public koSessionCommand
{
public:
    koLoadSceneCommand();
    explicit koLoadSceneCommand(const QString& name);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString name;
};

// Logs its text, then pushes a reply from inside the execution, as an
// application reacting to a received change would.
class koReactCommand : public koSessionCommand
{
public:
    koReactCommand();
    koReactCommand(const QString& text, const QString& reply, bool replyEchoing);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString text;
    QString reply;
    bool replyEchoing = true;
};
