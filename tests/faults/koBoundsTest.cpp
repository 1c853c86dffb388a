// Bounds and losslessness over loopback: what a participant pushes before it
// leaves arrives, a record the server must not keep ends only its sender's
// link, an oversized device picture is skipped whole, and text from others
// reaches a terminal with its control characters escaped.
#include "koServerTestKit.h"
#include "koTestExecutionLog.h"
#include "koTestSupport.h"

#include "koSessionChange.h"
#include "koSession.h"
#include "koSessionClient.h"
#include "koSessionCommandFactory.h"
#include "koSessionSceneWire.h"
#include "koSessionTransferGate.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionWire.h"
#include "koTerminalText.h"

#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketLink.h"

#include <QDataStream>
#include <QImage>

#include <functional>
#include <future>
#include <random>
#include <thread>

namespace {

using namespace koServerTest;

const koSessionCommandFactory::Register<koTest::TextCommand> registerNote("BoundsNote");

// A record as it may come from the wire, past the setters' checks: the form
// of `base` with its name replaced by `name`.
koSessionUser recordNamed(const koSessionUser& base, const QString& name)
{
    QByteArray form;
    {
        QDataStream out(&form, QIODevice::WriteOnly);
        out << quint16(base.getId()) << name << base.getColor() << quint32(0) << QString() << false << QString()
            << true << base.getDeviceName() << base.getDeviceImage() << false << quint16(0) << qint32(0);
    }
    koSessionUser user;
    QDataStream in(form);
    user.get(in);
    return user;
}

// Pixels no compressor can shrink, so the record's form is as large as they are.
QImage noise(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = random();
    }
    return image;
}

using Bounds = SessionTest;

// Item: leaving sends what was pushed before the links close.
TEST_F(Bounds, WhatIsPushedBeforeLeavingArrives)
{
    const struct
    {
        const char* how;
        std::function<void(ClientPtr&)> leave;
    } rows[] = {
        {"destroyed", [](ClientPtr& client) { client.reset(); }},
        {"stopped", [](ClientPtr& client) { client->stop(); }},
    };
    const ClientPtr alice = join(QStringLiteral("Alice"));
    int sent = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.how);
        for (int i = 0; i < 3; ++i) {
            ClientPtr leaver = join(QStringLiteral("Leaver"));
            leaver->push(koTest::TextCommand(QStringLiteral("last words %1").arg(++sent)));
            row.leave(leaver);
        }
        const auto arrived = [&] {
            for (int i = 1; i <= sent; ++i) {
                if (!koTest::ExecutionLog::the().has(alice->getUserId(), QStringLiteral("last words %1").arg(i)))
                    return false;
            }
            return true;
        };
        EXPECT_TRUE(pumpUntil({alice.get()}, arrived, 5s));
    }
}

// Item: a download that arrives while an upload is still coming in gets that
// upload; silent uploads past the gate's limit are refused at once.
TEST_F(Bounds, TransfersAreOrderedAndBounded)
{
    LogCapture log;
    const ClientPtr alice = join(QStringLiteral("Alice"));
    const auto uploadLink = connectCiphered(host->port());
    sendRequest(uploadLink, koSessionWire::RequestUploadScene);
    koNetStream upload(uploadLink);
    const std::vector<char> scene = koTest::randomBytes(3 << 20, 5);
    const std::size_t half = scene.size() / 2;
    koSessionSceneWire::putName(upload, "new");
    upload.putValueSize(scene.size());
    upload.putBytes(scene.data(), half);
    upload.flush();
    std::this_thread::sleep_for(200ms);
    auto download = std::async(std::launch::async, [&] {
        std::vector<char> data;
        QString name;
        alice->downloadScene(data, name);
        return std::make_pair(name, data);
    });
    std::this_thread::sleep_for(300ms);
    upload.putBytes(scene.data() + half, scene.size() - half);
    upload.flush();
    const auto got = download.get();
    EXPECT_EQ(got.first, QStringLiteral("new"));
    EXPECT_TRUE(got.second == scene);
    // Both transfers have left the gate once the download is logged.
    ASSERT_TRUE(log.waitFor("downloaded by"));

    std::vector<std::shared_ptr<koSocketLink>> silent;
    for (int i = 0; i <= koSessionTransferGate::MaxPerAddress; ++i) {
        silent.push_back(connectCiphered(host->port()));
        sendRequest(silent.back(), koSessionWire::RequestUploadScene);
    }
    // The handshakes run side by side, so which one comes last to the gate is
    // open: exactly one of them is refused at once.
    std::vector<std::future<bool>> closed;
    for (const auto& link : silent)
        closed.push_back(std::async(std::launch::async, [link] { return waitClosed(link, 3s); }));
    int refused = 0;
    for (auto& result : closed)
        refused += result.get() ? 1 : 0;
    EXPECT_EQ(refused, 1);
}

// Item: a participant that reads too slowly is removed, and the transient
// changes only it still needed go with it: a newcomer never receives them.
TEST_F(Bounds, SlowReaderIsRemovedAndReleasesWhatItHeld)
{
    const ClientPtr alice = join(QStringLiteral("Alice"));
    RawParticipant slow = rawJoin(connectCiphered(host->port()), QStringLiteral("Slow"));
    std::thread reader([&] {
        std::vector<char> sip(64 * 1024);
        try {
            for (;;) {
                slow.stream->getBytes(sip.data(), sip.size());
                std::this_thread::sleep_for(100ms);
            }
        } catch (const koNetError&) {
        }
    });
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return rosterIds(*alice).size() == 2; }));
    koTest::TextCommand chat(QString(4 << 20, 'c'));
    chat.setTransient(true);
    for (int i = 0; i < 10; ++i)
        alice->push(chat);
    // Generous: 80 MiB first cross the loopback, slowly under a sanitizer.
    EXPECT_TRUE(pumpUntil({alice.get()}, [&] { return rosterIds(*alice).size() == 1; }, 60s));
    slow.link->shutdown();
    reader.join();

    const ClientPtr carol = join(QStringLiteral("Carol"));
    alice->push(koTest::TextCommand(QStringLiteral("after")));
    ASSERT_TRUE(pumpUntil({alice.get(), carol.get()},
                          [&] { return koTest::ExecutionLog::the().has(carol->getUserId(), QStringLiteral("after")); }));
    EXPECT_FALSE(koTest::ExecutionLog::the().has(carol->getUserId(), chat.text));
}

// Item: a newcomer replays neither the pose of who left nor more than the
// retention cap of older changes.
TEST_F(Bounds, NewcomerReplaysOnlyCurrentPosesWithinTheCap)
{
    host->server.setMaxRetainedBytes(1 << 20);
    const ClientPtr alice = join(QStringLiteral("Alice"));
    ClientPtr bob = join(QStringLiteral("Bob"));
    const unsigned short bobId = bob->getUserId();
    int bobPoses = 0;
    QObject::connect(&koSession::the(), &koSession::poseChanged,
                     [&](const koSessionUserPoseCommand* pose) { bobPoses += pose->getUserId() == bobId; });
    bob->push(koSessionUserPoseCommand(bobId, {}));
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return bobPoses > 0; }));
    bob.reset();
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return rosterIds(*alice).size() == 1; }));
    for (int i = 0; i < 20; ++i)
        alice->push(koTest::TextCommand(QStringLiteral("old %1 ").arg(i) + QString(100000, 'o')));
    // Once Alice has them all, the next push finds them passed and caps them.
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return koTest::ExecutionLog::the().texts(alice->getUserId()).size() == 20; }));
    alice->push(koTest::TextCommand(QStringLiteral("trim")));
    ASSERT_TRUE(pumpUntil({alice.get()}, [&] { return koTest::ExecutionLog::the().has(alice->getUserId(), QStringLiteral("trim")); }));

    bobPoses = 0;
    const ClientPtr carol = join(QStringLiteral("Carol"));
    alice->push(koTest::TextCommand(QStringLiteral("after")));
    ASSERT_TRUE(pumpUntil({carol.get()},
                          [&] { return koTest::ExecutionLog::the().has(carol->getUserId(), QStringLiteral("after")); }));
    EXPECT_EQ(bobPoses, 0);
    EXPECT_LE(koTest::ExecutionLog::the().texts(carol->getUserId()).size(), 7);
}

// Item: a record that the server must not keep ends its sender's link, and
// whoever comes next can still join.
TEST_F(Bounds, OversizedRecordEndsOnlyItsSendersLink)
{
    const ClientPtr alice = join(QStringLiteral("Alice"));
    const struct
    {
        const char* what;
        std::function<koSessionUser(const koSessionUser&)> make;
    } rows[] = {
        {"name over the text limit",
         [](const koSessionUser& own) { return recordNamed(own, QString(koSessionUser::maxTextUnits + 1, 'n')); }},
        {"record over its limit",
         [](const koSessionUser& own) {
             koSessionUser big(own);
             big.setDeviceImage(noise(2400, 1800));
             return big;
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RawParticipant mallory = rawJoin(connectCiphered(host->port()), QStringLiteral("Mallory"));
        const koSessionUser record = row.make(mallory.user);
        // The library refuses to make such a record itself.
        EXPECT_THROW(record.checkLimits(), koNetError);
        koSessionChange(koSessionUserInfoCommand(record), mallory.user.getId()).putValue(*mallory.stream);
        mallory.stream->flush();
        EXPECT_TRUE(pumpUntil({alice.get()}, [&] { return rosterIds(*alice).size() == 1; }, 60s));
        ClientPtr carol;
        ASSERT_NO_THROW(carol = join(QStringLiteral("Carol")));
        EXPECT_TRUE(pumpUntil({alice.get(), carol.get()}, [&] {
            const auto ids = rosterIds(*alice);
            return ids.size() == 2 && ids.back() == carol->getUserId();
        }, 60s));
    }
    koSessionUser user;
    EXPECT_THROW(user.setName(QString(koSessionUser::maxTextUnits + 1, 'n')), koNetError);
}

// Item: any picture the record bound allows round-trips; one that announces
// too many pixels to decode is skipped whole, the fields after it intact.
TEST(BoundsRecord, DevicePictureIsReadWholeOrSkippedWhole)
{
    const struct
    {
        const char* what;
        int width;
        int height;
        quint32 announced; // patched into the header's width and height; 0 keeps them
        bool decoded;
    } rows[] = {
        {"wide strip", 3000, 2, 0, true},
        {"tall strip", 2, 3000, 0, true},
        {"announces 100000 x 100000", 4, 4, 100000, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        koSessionUser user = makeUser(QStringLiteral("Pic"));
        user.setDeviceImage(noise(row.width, row.height));
        user.setIsSpectator(true);
        user.setSpectatedUserId(4321);
        user.setSpectatorCount(17);
        QByteArray form;
        {
            QDataStream out(&form, QIODevice::WriteOnly);
            user.put(out);
        }
        if (row.announced) {
            const int header = form.indexOf("IHDR");
            ASSERT_GT(header, 0);
            QDataStream patch(&form, QIODevice::ReadWrite);
            patch.device()->seek(header + 4);
            patch << row.announced << row.announced;
        }
        koTest::LogCapture log;
        koSessionUser read;
        QDataStream in(form);
        read.get(in);
        EXPECT_EQ(in.status(), QDataStream::Ok);
        EXPECT_TRUE(in.atEnd());
        EXPECT_EQ(read.getDeviceImage(), row.decoded ? user.getDeviceImage() : QImage());
        EXPECT_EQ(log.lines().size(), row.decoded ? 0u : 1u);
        EXPECT_EQ(read.getSpectatedUserId(), 4321);
        EXPECT_EQ(read.getSpectatorCount(), 17);
    }
}

// Item: names and messages reach the terminal without a control character
// that could start a line or drive the terminal, and stay distinguishable.
TEST(BoundsTerminal, ControlCharactersAreEscaped)
{
    QStringList seen;
    for (ushort code = 0; code < 0xa0; ++code) {
        const QChar c(code);
        if (c.category() != QChar::Other_Control)
            continue;
        const QString text = koTerminalText::escaped(QStringLiteral("a") + c + QStringLiteral("b"));
        for (const QChar out : text)
            EXPECT_NE(out.category(), QChar::Other_Control) << "code " << code;
        EXPECT_FALSE(seen.contains(text)) << "code " << code;
        seen.append(text);
    }
    EXPECT_EQ(koTerminalText::escaped(QStringLiteral("Bob \"ok\" ü")), QStringLiteral("Bob \"ok\" ü"));
}

} // namespace
