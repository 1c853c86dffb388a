// The log of retained changes torn by a crash or damaged on disk: what comes
// before the damage is restored, the rest cut and logged, appends follow it.

#include "koSessionChange.h"
#include "koSessionStateLog.h"
#include "koSessionUserPoseCommand.h"
#include "koTestLogCapture.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

using Authors = std::vector<unsigned short>;

Authors authors(koSessionStateLog& log)
{
    Authors found;
    for (const auto& change : log.open())
        found.push_back(change->getChangedBy());
    return found;
}
TEST(StateLogTest, DamageCutsAtTheLastGoodRecordAndAppendsFollowIt)
{
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("changes.log")));
    const auto append = [&file](unsigned short user) {
        koSessionStateLog log(file.fileName());
        log.open();
        log.append(koSessionChange(koSessionUserPoseCommand(user, {}), user));
        return int(file.size());
    };
    const int ends[3] = {append(1), append(2), append(3)};
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    file.close();
    const auto reopen = [&file](const QByteArray& content) {
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
        file.close();
        return koSessionStateLog(file.fileName());
    };
    koTest::LogCapture captured;
    // A crash cuts the last record anywhere, its header included.
    for (int cut = ends[1]; cut <= ends[2]; ++cut) {
        koSessionStateLog log = reopen(whole.left(cut));
        ASSERT_EQ(authors(log), cut == ends[2] ? (Authors{1, 2, 3}) : (Authors{1, 2})) << "cut at " << cut;
        EXPECT_EQ(file.size(), cut == ends[2] ? ends[2] : ends[1]) << "cut at " << cut;
    }
    EXPECT_EQ(captured.count("damaged from offset " + std::to_string(ends[1]) + ": cut its last 1 bytes"), 1);
    // One flipped byte in the second record's length, checksum or bytes.
    for (int flipped : {ends[0], ends[0] + 5, ends[0] + 8, ends[1] - 1}) {
        QByteArray damaged = whole;
        damaged[flipped] = char(damaged[flipped] ^ 0x10);
        koSessionStateLog log = reopen(damaged);
        ASSERT_EQ(authors(log), Authors{1}) << "flipped byte " << flipped;
        log.append(koSessionChange(koSessionUserPoseCommand(4, {}), 4));
        EXPECT_EQ(authors(log), (Authors{1, 4})) << "flipped byte " << flipped;
    }
}

} // namespace
