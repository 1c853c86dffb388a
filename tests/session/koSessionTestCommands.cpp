#include "koSessionTestCommands.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"

#include <QDataStream>
#include <QStringList>

namespace {

koSessionCommandFactory::Register<koTextCommand> registerText("SessionTestText");
koSessionCommandFactory::Register<koStateCommand> registerState("SessionTestState");
koSessionCommandFactory::Register<koReactCommand> registerReact("SessionTestReact");
koSessionCommandFactory::Register<koLoadSceneCommand> registerLoadScene("LoadScene");

void record(const koSessionCommand& command, koSessionClient* client, const QString& text)
{
    koExecutionLog::the().add(client ? client->getUserId() : 0, command.getChangedBy(), text);
}

} // namespace

koExecutionLog& koExecutionLog::the()
{
    static koExecutionLog log;
    return log;
}

void koExecutionLog::reset(std::thread::id thread)
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.clear();
    mainThread = thread;
}

void koExecutionLog::add(unsigned short executor, unsigned short changedBy, const QString& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back({executor, changedBy, text, std::this_thread::get_id() == mainThread});
}

std::vector<koExecuted> koExecutionLog::all() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
}

QStringList koExecutionLog::texts(unsigned short executor, int thread) const
{
    QStringList found;
    for (const koExecuted& entry : all()) {
        if (entry.executor == executor && (thread < 0 || entry.onMainThread == (thread == 1)))
            found.append(entry.text);
    }
    return found;
}

bool koExecutionLog::has(unsigned short executor, const QString& text) const
{
    return texts(executor).contains(text);
}

// ---------------------------------------------------------------------------

koTextCommand::koTextCommand()
    : koSessionCommand(false, true)
{
}

koTextCommand::koTextCommand(const QString& text, bool echoing)
    : koSessionCommand(false, echoing)
    , text(text)
{
}

void koTextCommand::execute(koSessionClient* client) const
{
    record(*this, client, text);
}

void koTextCommand::putData(QDataStream& stream) const
{
    stream << text;
}

void koTextCommand::getData(QDataStream& stream)
{
    stream >> text;
}

koStateCommand::koStateCommand()
    : koSessionCommand(true, true)
{
}

koStateCommand::koStateCommand(const QString& key, int value)
    : koSessionCommand(true, true)
    , key(key)
    , value(value)
{
}

void koStateCommand::execute(koSessionClient* client) const
{
    record(*this, client, QStringLiteral("%1=%2").arg(key).arg(value));
}

void koStateCommand::putStateId(QDataStream& stream) const
{
    stream << key;
}

void koStateCommand::putData(QDataStream& stream) const
{
    stream << key << qint32(value);
}

void koStateCommand::getData(QDataStream& stream)
{
    qint32 read = 0;
    stream >> key >> read;
    value = read;
}

koLoadSceneCommand::koLoadSceneCommand()
    : koSessionCommand(false, true)
{
}

koLoadSceneCommand::koLoadSceneCommand(const QString& name)
    : koSessionCommand(false, true)
    , name(name)
{
}

void koLoadSceneCommand::execute(koSessionClient* client) const
{
    record(*this, client, QStringLiteral("LoadScene:") + name);
}

void koLoadSceneCommand::putData(QDataStream& stream) const
{
    stream << name;
}

void koLoadSceneCommand::getData(QDataStream& stream)
{
    stream >> name;
}

koReactCommand::koReactCommand()
    : koSessionCommand(false, false)
{
}

koReactCommand::koReactCommand(const QString& text, const QString& reply, bool replyEchoing)
    : koSessionCommand(false, false)
    , text(text)
    , reply(reply)
    , replyEchoing(replyEchoing)
{
}

void koReactCommand::execute(koSessionClient* client) const
{
    record(*this, client, text);
    client->push(koTextCommand(reply, replyEchoing));
}

void koReactCommand::putData(QDataStream& stream) const
{
    stream << text << reply << replyEchoing;
}

void koReactCommand::getData(QDataStream& stream)
{
    stream >> text >> reply >> replyEchoing;
}
