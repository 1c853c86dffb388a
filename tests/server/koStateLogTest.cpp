// The state directory's log of retained changes under damage: a crash may
// tear its last record anywhere, a disk may flip a byte in the middle. What
// comes before the damage is restored, the rest is cut, and appends go on
// after the good records. And one server per folder.

#include "koSessionChange.h"
#include "koSessionStateDirectory.h"
#include "koSessionStateLog.h"
#include "koSessionUserPoseCommand.h"
#include "koTestLogCapture.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

koSessionChange poseBy(unsigned short user)
{
    return koSessionChange(koSessionUserPoseCommand(user, {}), user);
}

std::vector<unsigned short> authors(koSessionStateLog& log)
{
    std::vector<unsigned short> found;
    for (const auto& change : log.open())
        found.push_back(change->getChangedBy());
    return found;
}

QByteArray contentOf(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void replaceContent(const QString& name, const QByteArray& bytes)
{
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
}

TEST(StateLogTest, DamageCutsAtTheLastGoodRecordAndAppendsFollowIt)
{
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("changes.log"));
    int ends[3] = {};
    {
        koSessionStateLog log(name);
        log.open();
        for (unsigned short user = 1; user <= 3; ++user) {
            log.append(poseBy(user));
            ends[user - 1] = int(QFileInfo(name).size());
        }
    }
    const QByteArray whole = contentOf(name);
    koTest::LogCapture log;
    // A crash cuts the last record anywhere, its header included.
    for (int cut = ends[1]; cut <= ends[2]; ++cut) {
        replaceContent(name, whole.left(cut));
        koSessionStateLog cutLog(name);
        const std::vector<unsigned short> expected = cut == ends[2] ? std::vector<unsigned short>{1, 2, 3}
                                                                    : std::vector<unsigned short>{1, 2};
        ASSERT_EQ(authors(cutLog), expected) << "cut at " << cut;
        EXPECT_EQ(QFileInfo(name).size(), cut == ends[2] ? ends[2] : ends[1]) << "cut at " << cut;
    }
    EXPECT_EQ(log.count("damaged from offset " + std::to_string(ends[1]) + ": cut its last 1 bytes"), 1);
    // One flipped byte in the second record's length, checksum or bytes.
    for (int flipped : {ends[0], ends[0] + 5, ends[0] + 8, ends[1] - 1}) {
        QByteArray damaged = whole;
        damaged[flipped] = char(damaged[flipped] ^ 0x10);
        replaceContent(name, damaged);
        koSessionStateLog damagedLog(name);
        ASSERT_EQ(authors(damagedLog), std::vector<unsigned short>{1}) << "flipped byte " << flipped;
        damagedLog.append(poseBy(4));
        EXPECT_EQ(authors(damagedLog), (std::vector<unsigned short>{1, 4})) << "flipped byte " << flipped;
    }
}

TEST(StateLogTest, SecondServerOnAFolderIsRefusedUntilTheFirstIsGone)
{
    QTemporaryDir parent;
    const QString path = parent.filePath(QStringLiteral("state"));
    auto first = std::make_unique<koSessionStateDirectory>(path);
    first->lock();
    EXPECT_EQ(QFileInfo(path).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
    koSessionStateDirectory second(path);
    try {
        second.lock();
        ADD_FAILURE() << "a second lock was granted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("is used by another kosession-server (pid " + std::to_string(getpid())),
                  std::string::npos) << e.what();
    }
    first.reset();
    EXPECT_NO_THROW(second.lock());
}

} // namespace
