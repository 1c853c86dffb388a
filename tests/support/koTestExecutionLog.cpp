#include "koTestExecutionLog.h"

#include "koSessionClient.h"

#include <QDataStream>

namespace koTest {

ExecutionLog& ExecutionLog::the()
{
    static ExecutionLog log;
    return log;
}

void ExecutionLog::reset(std::thread::id thread, Annotator annotate)
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.clear();
    mainThread = thread;
    annotator = std::move(annotate);
}

void ExecutionLog::record(const koSessionCommand& command, koSessionClient* client, const QString& text)
{
    Execution execution;
    execution.executor = client ? client->getUserId() : 0;
    execution.changedBy = command.getChangedBy();
    execution.text = text;
    Annotator annotate;
    {
        std::lock_guard<std::mutex> lock(mutex);
        execution.onMainThread = std::this_thread::get_id() == mainThread;
        annotate = annotator;
    }
    if (annotate)
        annotate(execution);
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(execution);
}

std::vector<Execution> ExecutionLog::all() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}

QStringList ExecutionLog::texts(unsigned short executor, int thread) const
{
    QStringList found;
    for (const Execution& entry : all()) {
        if (entry.executor == executor && (thread < 0 || entry.onMainThread == (thread == 1)))
            found.append(entry.text);
    }
    return found;
}

bool ExecutionLog::has(unsigned short executor, const QString& text) const
{
    return texts(executor).contains(text);
}

TextCommand::TextCommand()
    : koSessionCommand(false, true)
{
}

TextCommand::TextCommand(const QString& text, bool echoing)
    : koSessionCommand(false, echoing)
    , text(text)
{
}

void TextCommand::execute(koSessionClient* client) const
{
    ExecutionLog::the().record(*this, client, text);
}

void TextCommand::putData(QDataStream& stream) const
{
    stream << text;
}

void TextCommand::getData(QDataStream& stream)
{
    stream >> text;
}

void LoadSceneCommand::execute(koSessionClient* client) const
{
    ExecutionLog::the().record(*this, client, QStringLiteral("LoadScene:") + text);
}

StateCommand::StateCommand()
    : StateCommand(QString())
{
}

StateCommand::StateCommand(const QString& keyAndValue)
{
    setStateMergable(true);
    text = keyAndValue;
}

void StateCommand::putStateId(QDataStream& stream) const
{
    stream << text.section(QLatin1Char('='), 0, 0);
}

} // namespace koTest
