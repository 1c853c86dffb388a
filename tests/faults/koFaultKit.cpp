#include "koFaultKit.h"

#include "koSessionClient.h"
#include "koSessionCommandFactory.h"

#include "koSocketLink.h"

#include <algorithm>

namespace koFaultTest {

namespace {

const koSessionCommandFactory::Register<koTest::TextCommand> registerNote("FaultNote");

} // namespace

koTest::TextCommand makeNote(qint32 number, int fillerBytes)
{
    // Two bytes a character on the wire.
    return koTest::TextCommand(QString::number(number) + QLatin1Char(' ') + QString(fillerBytes / 2, QLatin1Char('f')),
                               false);
}

std::vector<qint32> notesOf(koSessionClient& client)
{
    std::vector<qint32> numbers;
    for (const QString& text : koTest::ExecutionLog::the().texts(client.getUserId()))
        numbers.push_back(text.section(QLatin1Char(' '), 0, 0).toInt());
    return numbers;
}

bool hasNote(koSessionClient& client, qint32 number)
{
    const std::vector<qint32> numbers = notesOf(client);
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

bool drainUntilClosed(const std::shared_ptr<koSocketLink>& link, std::chrono::milliseconds limit, std::string& why)
{
    link->setRecvTimeout(std::chrono::duration<double>(limit).count());
    try {
        char byte = 0;
        for (;;)
            link->read(&byte, 1);
    } catch (const std::exception& e) {
        why = e.what();
        return why.find("timed out") == std::string::npos;
    }
}

void FaultSessionTest::SetUp()
{
    SessionTest::SetUp();
    alice = join(QStringLiteral("Alice"));
    bob = join(QStringLiteral("Bob"));
    ASSERT_TRUE(rosterSettles(2));
}

bool FaultSessionTest::rosterSettles(std::size_t count, unsigned short gone, std::chrono::milliseconds timeout)
{
    return pumpUntil({alice.get(), bob.get()}, [&] {
        for (const auto& client : {alice, bob}) {
            const auto ids = rosterIds(*client);
            if (ids.size() != count || std::find(ids.begin(), ids.end(), gone) != ids.end())
                return false;
        }
        return true;
    }, timeout);
}

void FaultSessionTest::expectNotesPass()
{
    const qint32 number = ++notes;
    alice->push(makeNote(number, 1000));
    bob->push(makeNote(-number, 1000));
    EXPECT_TRUE(pumpUntil({alice.get(), bob.get()}, [&] { return hasNote(*bob, number) && hasNote(*alice, -number); }))
        << "note " << number;
}

} // namespace koFaultTest
