// Whole sessions over loopback with the real server, cipher and clients, as
// scenario tables: who pushes what and how, and who must execute it; late
// joiners; the roster after a scene load; scenes up and down, and aborted.

#include "koServerTestKit.h"

#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionSceneBuffer.h"

#include "koNetError.h"
#include "koNetProgress.h"

#include <algorithm>

using namespace koServerTest;

namespace {

const koSessionCommandFactory::Register<koTest::TextCommand> registerText("ScenarioText");
const koSessionCommandFactory::Register<koTest::StateCommand> registerState("ScenarioState");
const koSessionCommandFactory::Register<koTest::LoadSceneCommand> registerScene("LoadScene");

constexpr std::size_t MiB = 1024 * 1024;
const std::string Uploading = "Uploading scene ...";
const std::string Downloading = "Downloading scene ...";

const Step::Kind T = Step::Text;
const Step::Kind S = Step::State;

// The process-wide progress while it lives: the texts begun and the amounts
// added; `abortAt` asks for the abort once that many bytes are done under `text`.
class Progress
{
public:
    explicit Progress(const std::string& text = std::string(), double abortAt = -1.0)
    {
        previous = koNetProgress::setObserver([=](const koNetProgress::State& state) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (state.text != last)
                    texts.push_back(state.text);
                else if (state.done > done)
                    pieces.push_back(state.done - done);
                last = state.text;
                done = state.done;
            }
            // The abort request calls back into this observer.
            if (state.text == text && !state.aborting && state.done >= abortAt && abortAt >= 0.0)
                koNetProgress::requestAbort();
        });
    }
    ~Progress()
    {
        koNetProgress::setObserver(previous);
        koNetProgress::start("reset", 0.0); // an abort request outlives its progress
        koNetProgress::start(std::string(), 0.0);
    }

    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<double> pieces;

private:
    std::string last;
    double done = 0.0;
    koNetProgress::Observer previous;
};

std::vector<char> bytesOf(const koSessionSceneBuffer& buffer)
{
    return std::vector<char>(buffer.data(), buffer.data() + buffer.size());
}

} // namespace

TEST_F(Scenario, EveryoneExecutesExactlyWhatTheDeliveryRulesSay)
{
    joinAll({"Alice", "Bob", "Carol"});
    play({
        {'A', T, "a1 hello", "", "ABC"},
        {'B', T, "b1 quiet", "q", "AC"},
        {'C', T, "c1 to a", ">A", "A"},
        {'A', T, "a2 to b quiet", "q>B", "B"},
        {'B', T, "b2 async", "a", "ABC"},
        {'C', T, "c2 async quiet", "aq", "AB"},
        {'A', T, "a3 to self", ">A", "A"},
        {'B', T, "b3 async quiet to c", "aq>C", "C"},
        {'C', T, "c3 own type blocked, echoing: here only", "t", "C"},
        {'C', T, "c4 own type blocked, quiet: dropped", "tq", ""},
        {'C', T, "c5 another type blocked", "oq", "AB"},
        {'A', T, "a4 all blocked, echoing: here only", "b", "A"},
        {'A', T, "a5 all blocked, addressed: sent", "bq>B", "B"},
        {'B', T, "b4 all blocked, async: sent", "baq", "AC"},
        {'C', T, "c6 while executing, echoing: here only", "x", "C"},
        {'C', T, "c7 while executing, quiet: dropped", "xq", ""},
        {'C', T, "c8 while executing, addressed: sent", "xq>B", "B"},
        {'A', T, "a6 bye", "q", "BC"},
    });
}

TEST_F(Scenario, LateJoinerGetsEveryStateInItsNewestFormUntilASceneLoadCutsTheHistory)
{
    joinAll({"Alice", "Bob"});
    const int questions = sceneQuestionsAsked();
    play({
        {'A', S, "x=1", "", "AB"},
        {'A', S, "x=2", "", "AB"},
        {'B', S, "y=1", "", "ABC"},
        {'A', S, "x=3", "q", "BC"},
        {'A', T, "plain", "q", "BC"},
        {'C', Step::Join, "Carol", "", ""},
        {'C', S, "y=2", "", "ABC"},
        {'B', Step::Scene, "scene.kova", "", "ABCD"},
        {'A', T, "after", "q", "BCD"},
        {'D', Step::Join, "Dave", "", ""},
    });
    EXPECT_EQ(sceneQuestionsAsked(), questions + 1);
    // The scene load emptied the server's list, roster included; the roster
    // is laid down again, so everybody still knows everybody.
    EXPECT_TRUE(settled());
}

// A scene load empties the server's list, roster included. Someone who joined
// just before it must not stay unknown to the peers that had not sent that
// roster on yet, so the server lays the roster down again after the load.
TEST_F(Scenario, RosterFollowsEverySceneLoad)
{
    joinAll({"Alice", "Bob"});
    const unsigned int roster = koSessionCommandFactory::the().getType("UpdateUsers");
    const unsigned int scene = koTest::LoadSceneCommand().getType();
    at('A').push(koTest::LoadSceneCommand(QStringLiteral("scene.kova")));
    std::vector<unsigned int> seen;
    EXPECT_TRUE(koTest::waitFor([&] {
        at('A').executeCommands();
        std::shared_ptr<koSessionChange> change;
        while (at('B').getServerChanges()->tryPop(change)) {
            seen.push_back(change->getCommandType());
            change->execute(&at('B'));
        }
        const auto load = std::find(seen.begin(), seen.end(), scene);
        return load != seen.end() && std::find(load, seen.end(), roster) != seen.end();
    }));
    EXPECT_EQ(at('B').getUsers().size(), 2u);
}

TEST_F(Scenario, ScenesArriveByteForByteInPiecesOfOneMebibyte)
{
    joinAll({"Alice", "Bob"});
    struct Row
    {
        std::size_t size;
        QString name;
        std::vector<double> pieces;
    };
    const std::vector<Row> rows = {
        {MiB, QString(), {double(MiB)}},
        {MiB + 1, QStringLiteral(u"Szene Größe 日本語 😀.kova"), {double(MiB), 1}},
        {3 * MiB + 5, QStringLiteral("three.kova"), {double(MiB), double(MiB), double(MiB), 5}},
        {0, QStringLiteral("empty.kova"), {}},
    };
    std::uint32_t seed = 1;
    koSessionSceneBuffer reused; // one for all rows: no stale byte may show
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        const std::vector<char> scene = koTest::randomBytes(row.size, seed++);
        {
            Progress up;
            upload('A', scene, row.name);
            EXPECT_EQ(up.texts, (std::vector<std::string>{Uploading, ""}));
            EXPECT_EQ(up.pieces, row.pieces);
        }
        Progress down;
        std::vector<char> data(7, 'x');
        QString name = QStringLiteral("stale");
        ASSERT_TRUE(at('B').downloadScene(data, name));
        EXPECT_EQ(name, row.name);
        EXPECT_TRUE(data == scene);
        EXPECT_EQ(down.texts, (std::vector<std::string>{Downloading, ""}));
        EXPECT_EQ(down.pieces, row.pieces);
        ASSERT_TRUE(at('B').downloadScene(reused, name));
        EXPECT_EQ(bytesOf(reused), scene);
    }
    EXPECT_EQ(log.count("failed"), 0);
}

TEST_F(Scenario, AbortsLeaveThePreviousSceneAndAShortDownload)
{
    joinAll({"Alice"});
    std::vector<char> data;
    koSessionSceneBuffer buffer;
    QString name;
    EXPECT_THROW(at('A').downloadScene(data, name), koNetError) << "nothing stored yet";
    const std::vector<char> previous = koTest::randomBytes(2 * MiB + 3, 10);
    upload('A', previous, QStringLiteral("previous.kova"));

    for (const int pieces : {0, 1, 3}) {
        SCOPED_TRACE(pieces);
        const int failed = log.count("Upload failed: ");
        {
            Progress up(Uploading, double(pieces * MiB));
            at('A').uploadScene(koTest::randomBytes(4 * MiB + 1, 11), QStringLiteral("aborted.kova"));
            EXPECT_EQ(up.pieces, std::vector<double>(pieces, double(MiB)));
        }
        ASSERT_TRUE(koTest::waitFor([&] { return log.count("Upload failed: ") > failed; }));

        // The stored scene has three pieces: the download stops before the last.
        const std::size_t piecesRead = std::min(pieces, 2);
        Progress down(Downloading, double(piecesRead * MiB));
        EXPECT_FALSE(at('A').downloadScene(data, name));
        EXPECT_EQ(name, QStringLiteral("previous.kova"));
        ASSERT_EQ(data.size(), previous.size());
        EXPECT_EQ(down.pieces.size(), piecesRead);
        const auto read = data.begin() + piecesRead * MiB;
        EXPECT_TRUE(std::equal(data.begin(), read, previous.begin()));
        EXPECT_TRUE(std::all_of(read, data.end(), [](char byte) { return byte == 0; }));
        EXPECT_EQ(down.texts.back(), "");
        Progress again(Downloading, double(piecesRead * MiB));
        EXPECT_FALSE(at('A').downloadScene(buffer, name));
        EXPECT_EQ(bytesOf(buffer), std::vector<char>(previous.begin(), previous.begin() + piecesRead * MiB));
    }
    EXPECT_EQ(log.count("Download aborted by user"), 6);
    ASSERT_TRUE(at('A').downloadScene(data, name));
    EXPECT_TRUE(data == previous);
    ASSERT_TRUE(at('A').downloadScene(buffer, name));
    EXPECT_EQ(bytesOf(buffer), previous);
}
