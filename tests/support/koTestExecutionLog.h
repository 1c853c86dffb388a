#pragma once

// Commands that record who executed them, and the thread-safe log they write
// to, for tests of whole sessions. A test program registers the classes under
// names of its own (the "LoadScene" name marks a scene in a change list).

#include "koSessionCommand.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace koTest {

// One execution of a recording command.
struct Execution
{
    unsigned short executor = 0;  // the executing client's user identifier
    unsigned short changedBy = 0; // the maker, as the record carried it
    QString text;
    bool onMainThread = false;
};

// Every execution in this process, in order; any thread may add.
class ExecutionLog
{
public:
    using Annotator = std::function<void(Execution&)>;

    static ExecutionLog& the();

    // Forgets every entry. `mainThread` counts as the application's main
    // thread; `annotate` (optional) adds to each entry on the executing thread.
    void reset(std::thread::id mainThread, Annotator annotate = Annotator());
    void record(const koSessionCommand& command, koSessionClient* client, const QString& text);
    std::vector<Execution> all() const;
    // Texts that `executor` executed, in order; `thread` picks main-thread
    // executions (1), others (0) or both (-1).
    QStringList texts(unsigned short executor, int thread = -1) const;
    bool has(unsigned short executor, const QString& text) const;

private:
    // Guards entries, mainThread and annotator; taken by every operation,
    // never while the annotator runs.
    mutable std::mutex mutex;
    std::vector<Execution> entries;
    std::thread::id mainThread;
    Annotator annotator;
};

// A text; not state-mergable, echoing unless told otherwise. Logs its text.
class TextCommand : public koSessionCommand
{
public:
    TextCommand();
    explicit TextCommand(const QString& text, bool echoing = true);

    void execute(koSessionClient* client) const override;
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    QString text;
};

// Stands for the host's scene load. Logs "LoadScene:<text>".
class LoadSceneCommand : public TextCommand
{
public:
    using TextCommand::TextCommand;
    void execute(koSessionClient* client) const override;
};

// A value under a key, text "key=value": state-mergable, one state per key,
// echoing. Logs its text.
class StateCommand : public TextCommand
{
public:
    StateCommand();
    explicit StateCommand(const QString& keyAndValue);

    void putStateId(QDataStream& stream) const override;
};

} // namespace koTest
