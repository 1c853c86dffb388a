// Three participants run through one scripted exchange: echoing and quiet
// changes, addressed ones (to others and to oneself) and async ones on the
// second link. Each step waits until its recipients have executed it, so every
// participant's log must equal what the delivery rules predict, in order, with
// nothing extra, on the right thread, with its maker.

#include "koSessionTestFixture.h"

#include "koTestSupport.h"

#include <QRegularExpression>

#include <map>

using namespace koServerTest;

namespace {

using ScriptTest = koSessionTestFixture;

constexpr int Nobody = -1;

struct Step
{
    int maker;        // index of the participant that pushes
    const char* text;
    bool echoing;
    int addressee;    // index, or Nobody for everybody
    bool async;
};

const Step script[] = {
    {0, "a1 hello", true, Nobody, false},
    {1, "b1 quiet", false, Nobody, false},
    {2, "c1 to a", true, 0, false},
    {0, "a2 to b quiet", false, 1, false},
    {1, "b2 async", true, Nobody, true},
    {2, "c2 async quiet", false, Nobody, true},
    {0, "a3 to self", true, 0, false},
    {1, "b3 async to c", false, 2, true},
    {2, "c3 echo", true, Nobody, false},
    {0, "a4 quiet", false, Nobody, false},
    {1, "b4 to c", true, 2, false},
    {2, "c4 to a async", true, 0, true},
    {0, "a5 bye", true, Nobody, false},
};

// Whether participant `who` executes the step, by the server's relay rules.
bool receives(const Step& step, int who)
{
    if (step.maker == who && !step.echoing)
        return false;
    return step.addressee == Nobody || step.addressee == who;
}

} // namespace

TEST_F(ScriptTest, ThreeParticipantsExecuteExactlyWhatTheRulesPredict)
{
    auto clients = joinAll({"Alice", "Bob", "Carol"});
    std::map<int, QStringList> expected;

    for (const Step& step : script) {
        SCOPED_TRACE(step.text);
        TextCommand command(step.text, step.echoing);
        if (step.addressee != Nobody)
            command.setDestinationUserId(clients[step.addressee]->getUserId());
        if (step.async)
            clients[step.maker]->pushAsync(command);
        else
            clients[step.maker]->push(command);

        for (int who = 0; who < 3; ++who)
            if (receives(step, who))
                expected[who] << step.text;
        ASSERT_TRUE(pump(clients, [&] {
            for (int who = 0; who < 3; ++who)
                if (receives(step, who) && !hasExecuted(clients[who], step.text))
                    return false;
            return true;
        }));
    }

    // A last echoing change from each: anything stray would have come before it.
    for (int who = 0; who < 3; ++who)
        clients[who]->push(TextCommand(QStringLiteral("end %1").arg(who), true));
    ASSERT_TRUE(pump(clients, [&] {
        for (const auto& client : clients)
            for (int who = 0; who < 3; ++who)
                if (!hasExecuted(client, QStringLiteral("end %1").arg(who)))
                    return false;
        return true;
    }));

    for (int who = 0; who < 3; ++who) {
        SCOPED_TRACE(who);
        QStringList got = executed(clients[who]);
        got = got.filter(QRegularExpression("^(?!end )"));
        EXPECT_EQ(got, expected[who]);
    }
    // Async steps ran on receiving threads, the rest on the main thread, and
    // every record carried its maker.
    for (const koTest::Execution& entry : koTest::ExecutionLog::the().all()) {
        bool async = false;
        int maker = entry.text.startsWith("end ") ? entry.text.mid(4).toInt() : Nobody;
        for (const Step& step : script) {
            if (entry.text == step.text) {
                async = step.async;
                maker = step.maker;
            }
        }
        EXPECT_EQ(entry.onMainThread, !async) << entry.text.toStdString();
        ASSERT_NE(maker, Nobody) << entry.text.toStdString();
        EXPECT_EQ(entry.changedBy, clients[maker]->getUserId()) << entry.text.toStdString();
    }
}
