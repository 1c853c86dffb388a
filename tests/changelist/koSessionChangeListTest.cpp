#include "koSessionChangeList.h"

#include "koSessionChange.h"
#include "koSessionChangeReader.h"
#include "koSessionCommandFactory.h"
#include "koSessionMutex.h"
#include "koTestCommands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

static const koSessionCommandFactory::Register<koTestCommand> registerBytes("TestBytes");
static const koSessionCommandFactory::Register<koTestLoadSceneCommand> registerLoadScene("LoadScene");

namespace {

using ChangePtr = std::shared_ptr<koSessionChange>;

// A change from its script form; the tag travels as the record's changedBy.
//   p<tag> plain, t<tag> transient, s<key>:<tag> state-mergable,
//   x<key>:<tag> transient and state-mergable, L<tag> scene load,
//   M<tag> state-mergable scene load.
ChangePtr changeOf(const std::string& form)
{
    const char kind = form[0];
    const std::size_t colon = form.find(':');
    const int key = colon == std::string::npos ? 0 : std::stoi(form.substr(1, colon - 1));
    const int tag = std::stoi(form.substr(colon == std::string::npos ? 1 : colon + 1));
    koTestCommand plain(key);
    koTestLoadSceneCommand scene(key);
    koTestCommand& command = kind == 'L' || kind == 'M' ? static_cast<koTestCommand&>(scene) : plain;
    command.setStateMergable(kind == 's' || kind == 'x' || kind == 'M');
    command.setTransient(kind == 't' || kind == 'x');
    return std::make_shared<koSessionChange>(command, static_cast<unsigned short>(tag));
}

std::string tagsOf(const std::vector<ChangePtr>& changes)
{
    std::string tags;
    for (const ChangePtr& change : changes)
        tags += (tags.empty() ? "" : " ") + std::to_string(change->getChangedBy());
    return tags;
}

// Runs one step of a script on a list and its readers and answers what the
// step showed ("" for steps that show nothing). Steps:
//   new R | consumer R        a registered indexed | consuming reader named R
//   loose R | copy R S        an unregistered reader of the list, or a copy of R named S
//   drop R                    destroys R
//   push <change>...          server <key>: push of a command of that state
//   pushall <change>...       the changes pushed as one batch
//   many <n> <key>            n state changes of one key, tags 1000 and up
//   read R [n]                single reads: "tag@cursor ..."
//   batch R n                 one popSome: "tags @cursor"
//   pop | popall | clear | size | scene | empty R
class Script
{
public:
    std::string step(const std::string& text)
    {
        std::istringstream in(text);
        std::string op;
        std::vector<std::string> args;
        in >> op;
        for (std::string arg; in >> arg;)
            args.push_back(arg);
        ChangePtr change;
        if (op == "push") {
            for (const std::string& form : args)
                list.push(changeOf(form));
        } else if (op == "pushall") {
            std::vector<ChangePtr> batch;
            for (const std::string& form : args)
                batch.push_back(changeOf(form));
            list.push(std::move(batch));
        } else if (op == "server") {
            list.push(koTestCommand(std::stoi(args.at(0))));
        } else if (op == "many") {
            for (int i = 0; i < std::stoi(args.at(0)); ++i)
                list.push(changeOf("s" + args.at(1) + ":" + std::to_string(1000 + i)));
        } else if (op == "pop") {
            return list.tryPop(change) ? std::to_string(change->getChangedBy()) : "-";
        } else if (op == "popall") {
            return tagsOf(list.popAll());
        } else if (op == "clear") {
            list.clear();
        } else if (op == "size") {
            return std::to_string(list.size());
        } else if (op == "scene") {
            return std::to_string(list.containsLoadScene());
        } else {
            return readerStep(op, readers[args.at(0)], args.size() > 1 ? args[1] : "1000");
        }
        return "";
    }

private:
    std::string readerStep(const std::string& op, std::shared_ptr<koSessionChangeReader>& reader, const std::string& arg)
    {
        if (op == "new" || op == "consumer") {
            reader = list.getReader(op == "new");
        } else if (op == "loose") {
            reader = std::make_shared<koSessionChangeReader>(&list, true);
        } else if (op == "copy") {
            readers[arg] = std::make_shared<koSessionChangeReader>(nullptr, false);
            *readers[arg] = *reader;
        } else if (op == "drop") {
            reader.reset();
        } else if (op == "empty") {
            return std::to_string(reader->empty());
        } else if (op == "read") {
            std::string read;
            ChangePtr change;
            for (std::size_t n = 0; n < std::stoul(arg) && reader->tryPop(change); ++n)
                read += (read.empty() ? "" : " ") + std::to_string(change->getChangedBy()) + "@"
                    + std::to_string(reader->getCurrentIndex());
            return read;
        } else if (op == "batch") {
            std::vector<ChangePtr> batch;
            const std::size_t taken = reader->popSome(batch, std::stoul(arg));
            EXPECT_EQ(taken, batch.size());
            return tagsOf(batch) + (batch.empty() ? "@" : " @") + std::to_string(reader->getCurrentIndex());
        }
        return "";
    }

    // Declared first, destroyed last: the list outlives its readers.
    koSessionChangeList list;
    std::map<std::string, std::shared_ptr<koSessionChangeReader>> readers;
};

struct Row
{
    const char* rule;
    // Steps separated by ";", each followed by "= what it must show" where it shows something.
    const char* script;
};

const Row rows[] = {
    {"indices start at 1, survive clear, and a late reader starts at the oldest",
     "new A; empty A = 1; push p10; empty A = 0; read A = 10@1; push p11 p12; clear; size = 0; read A = ;"
     "push p13; read A = 13@4; push p14; new B; read B = 13@4 14@5"},
    {"a scene load discards everything before it, wherever the readers are",
     "new A; new B; push s1:1 t2 p3 s2:4; read A 2 = 1@1 2@2; scene = 0; push L5; size = 1; scene = 1;"
     "read A = 5@5; read B = 5@5; push s1:6; size = 2; popall = 5 6"},
    {"a batch follows the rules of as many single pushes, in order",
     "new A; push p1; pushall s1:2 p3 s1:4 L5 s2:6 s2:7 t8; size = 3; read A = 5@5 7@7 8@8; size = 2"},
    {"a scene load of the same state replaces the older one",
     "push M1 p2 M3; size = 1; push p4; scene = 1; popall = 3 4; scene = 0"},
    {"a scene load is held until popped or cleared",
     "push L1 p2; new A; read A = 1@1 2@2; scene = 1; pop = 1; scene = 0; push L3; clear; scene = 0;"
     "consumer C; push L4 p5; read C 1 = 4@0; scene = 0; size = 1"},
    {"a merge keeps the newest change of a state, at the end",
     "new A; new B; push s1:10 s2:20 p30; read A = 10@1 20@2 30@3; push s1:11; size = 3; push s1:12; size = 3;"
     "read A = 12@5; read B = 20@2 30@3 12@5"},
    {"a popped state change takes its state entry along",
     "push s7:1; pop = 1; push p2 s7:3; size = 2; popall = 2 3"},
    {"the server's own changes are made by user 0 and merge",
     "server 5; server 5; size = 1; pop = 0"},
    {"merges far behind held changes",
     "new A; push p1 p2 s1:5; read A = 1@1 2@2 5@3; many 100 1; push p3; size = 4; read A = 1099@103 3@104;"
     "new B; read B = 1@1 2@2 1099@103 3@104"},
    {"a transient change goes when every registered reader has read it",
     "new A; new B; push t1 p2 x3:3; read A = 1@1 2@2 3@3; size = 3; read B 1 = 1@1; size = 2; read B 1 = 2@2;"
     "size = 2; read B 1 = 3@3; size = 1; push s3:4; size = 2; push t5; new C; read A = 4@4 5@5;"
     "read B = 4@4 5@5; size = 3; read C = 2@2 4@4 5@5; size = 2"},
    {"batches take, keep and drop what as many single reads would",
     "new A; new B; push p1 t2 s5:3 t4 s5:5 x6:6 p7; size = 6; batch A 2 = 1 2 @2; batch A 3 = 4 5 6 @6;"
     "size = 6; batch B 10 = 1 2 4 5 6 7 @7; size = 3; batch A 5 = 7 @7; batch A 5 = @7; push x6:8 s6:9; size = 4"},
    {"a batch drops a transient that the others have passed",
     "new A; new B; push t1 t2; read B = 1@1 2@2; size = 2; batch A 1 = 1 @1; size = 1; batch A 5 = 2 @2; size = 0"},
    {"unregistered readers never drop a transient change",
     "loose U; push t1; read U = 1@1; size = 1; new A; push t2; batch U 5 = 2 @2; size = 2; read A = 1@1 2@2; size = 0"},
    {"a consuming reader pops the front and pins transient changes at cursor 0",
     "consumer C; new A; push t1 t2; read A = 1@1 2@2; size = 2; batch C 5 = 1 2 @0; empty C = 1;"
     "push p3 s1:4 t5; batch C 2 = 3 4 @0; push s1:6; size = 2; read C = 5@0 6@0"},
    {"a copied reader is not registered; a dropped one no longer counts and releases what it pinned",
     "new A; new B; push t1; copy A U; read U = 1@1; read A = 1@1; size = 1; drop U; size = 1; drop B; size = 0;"
     "push t2; read A = 2@2; size = 0"},
    {"front pops ignore indexed readers",
     "new A; push p1 p2 p3; pop = 1; read A = 2@2 3@3; popall = 2 3; pop = -; popall = "},
};

} // namespace

TEST(koSessionChangeList, Rules)
{
    for (const Row& row : rows) {
        Script script;
        std::istringstream steps(row.script);
        std::string step;
        while (std::getline(steps, step, ';')) {
            if (step.find_first_not_of(' ') == std::string::npos)
                continue;
            const std::size_t equals = step.find('=');
            const std::string shown = script.step(step.substr(0, equals));
            if (equals != std::string::npos) {
                std::string expected = step.substr(equals + 1);
                expected.erase(0, expected.find_first_not_of(' '));
                expected.erase(expected.find_last_not_of(' ') + 1);
                EXPECT_EQ(shown, expected) << row.rule << ": " << step;
            }
        }
    }
}

namespace {

// Takes ("+name") and releases ("-name") locks through the order's checker,
// as koSessionMutex does where it checks, so the rules hold in every build.
void runLocks(const std::string& script)
{
    static const std::map<std::string, koSessionLockRank> ranks = {
        {"joining", koSessionLockRank::FacadeJoining}, {"server", koSessionLockRank::Server},
        {"gate", koSessionLockRank::HandshakeGate},    {"peer", koSessionLockRank::Client},
        {"list", koSessionLockRank::ChangeList},       {"log", koSessionLockRank::DoorLog}};
    std::istringstream steps(script);
    for (std::string step; steps >> step;) {
        const auto entry = ranks.find(step.substr(1));
        if (step[0] == '+') {
            koSessionLockOrder::checkTake(entry->second, entry->first.c_str());
            koSessionLockOrder::taken(entry->second, entry->first.c_str());
        } else {
            koSessionLockOrder::released(entry->second, entry->first.c_str());
        }
    }
}

struct LockRow
{
    const char* script;
    // What the report must say; null where the order is kept.
    const char* broken;
};

const LockRow lockRows[] = {
    {"+server +peer +list -list -peer -server", nullptr},
    {"+joining +peer +list +log", nullptr},
    {"+server +gate -gate +peer -peer +list", nullptr},
    {"+server +peer -server +list -list -peer +server", nullptr},
    {"+list +peer", "taking \"peer\" while holding \"list\""},
    {"+server +peer -server +server", "taking \"server\" while holding \"peer\""},
    {"+peer +peer", "taking \"peer\" while holding \"peer\""},
    {"+gate +server", "taking \"server\" while holding \"gate\""},
    {"+log +list", "taking \"list\" while holding \"log\""},
    {"+server -peer", "releasing \"peer\", which this thread does not hold"},
};

} // namespace

TEST(koSessionLockOrder, AWrongOrderStopsTheProcessNamingBothLocks)
{
    for (const LockRow& row : lockRows) {
        if (row.broken)
            EXPECT_DEATH(runLocks(row.script), std::string("Lock order broken: ") + row.broken) << row.script;
        else
            EXPECT_EXIT((runLocks(row.script), std::exit(0)), ::testing::ExitedWithCode(0), "") << row.script;
    }
}

// The library's mutexes in a build that checks them: a wait on a condition
// variable gives the lock up and takes it back through the checker.
TEST(koSessionLockOrder, TheLibrarysMutexesAreCheckedAcrossAWait)
{
    if (!koSessionLockOrder::Checked)
        GTEST_SKIP() << "configure with -DCMAKE_BUILD_TYPE=Debug or -DKOSESSION_CHECK_LOCK_ORDER=ON";
    const auto waitThenTake = [](koSessionLockRank rank) {
        koSessionMutex peer(koSessionLockRank::Client, "peer");
        koSessionMutex other(rank, "other");
        std::condition_variable_any woken;
        std::unique_lock<koSessionMutex> held(peer);
        woken.wait_for(held, std::chrono::milliseconds(1));
        std::lock_guard<koSessionMutex> second(other);
        std::exit(0);
    };
    EXPECT_EXIT(waitThenTake(koSessionLockRank::ChangeList), ::testing::ExitedWithCode(0), "");
    EXPECT_DEATH(waitThenTake(koSessionLockRank::Server), "taking \"other\" while holding \"peer\"");
}
