// The utilities under the session library: the keyed coder of session links,
// logging, memory streams with a Qt device over them, and page readying.
#include "koCrypt.h"
#include "koLog.h"
#include "koMemoryIStream.h"
#include "koMemoryOStream.h"
#include "koMemoryPages.h"
#include "koQStreamDevice.h"
#include "koTestLogCapture.h"

#include <QDataStream>
#include <QStringList>

#include <gtest/gtest.h>

#include <thread>

namespace {

using Coded = std::vector<unsigned char>;

Coded codeAll(const Coded& key, const Coded& bytes)
{
    koCrypt coder(key);
    Coded out;
    for (unsigned char byte : bytes)
        out.push_back(coder.code(byte));
    return out;
}

// Links coded by one build must decode in another, so the coding is pinned:
// ChaCha20 (zero counter and nonce) under SHA-256 of the key bytes, produced
// independently with
//   openssl enc -chacha20 -K $(printf session | sha256sum) -iv 00..00 < zeros
// and running past a keystream block of 256 bytes.
TEST(koCrypt, KeystreamIsChaCha20UnderTheKeysSha256)
{
    const std::string hex =
        "12b1342e8e6d1eb0eb2c6f67a2d022cc5065ae60673d967375b0640070da141053410016072e7f1399e6c8f8a46a9945"
        "fca067e63fb3006b09570beeb40ad141db7e2e00e0c392c96170e79a3817c435af8df5f38297d7d2cee50dec575ebdd7"
        "b95b4af1b81166ff4d11b292a083197d4c8970ef2218023c4af1a9f0fb5a1bb4cdeb6bf011ebf1ca1a7f9dc5238ab129"
        "c92e04ab904041defde6dccb035ba14faf26998f3b65176cb2e007ae29f32cb884459df25f2dc6bc1a7b87c714aca242"
        "49f8458100cf571c044a36ae2c5b2f9656dd7987d5082fa6d1497cede25f91a1cc8ffe998f9214cbdb0fa366c1154499"
        "9e771ff38d2dac2ab384d16c5d13e402815851348a0736bb56d5da0da9b5ce4cecb4249c41bdfeafb5412c95afd320d4"
        "9340b470f169f2c3e6588260";
    Coded expected;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        expected.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    EXPECT_EQ(codeAll({'s', 'e', 's', 's', 'i', 'o', 'n'}, Coded(300, 0)), expected);
}

TEST(koCrypt, FreshCoderWithTheSameKeyUndoesTheCoding)
{
    Coded message;
    for (int i = 0; i < 1000; ++i)
        message.push_back(static_cast<unsigned char>(i % 251));
    const Coded nine = {'p', 'a', 's', 's', '-', 'w', 'o', 'r', 'd'};
    for (const Coded& key : {Coded(32, 0xa5), nine, Coded()}) {
        const Coded coded = codeAll(key, message);
        EXPECT_NE(coded, message);
        EXPECT_EQ(codeAll(key, coded), message);
    }
    Coded other = nine;
    other.back() ^= 1;
    EXPECT_NE(codeAll(other, message), codeAll(nine, message));
}

TEST(koLog, OneEntryPerCallAtItsLevelFromAnyThread)
{
    koTest::LogCapture capture;
    koLog::info("%d peers, %u bytes, %.1f s, %s", -3, 42u, 1.25, "");
    koLog::warning("line\n");
    koLog::error("Upload failed: %s\n\n", "Connection reset");
    EXPECT_EQ(capture.lines(koLog::Level::Info), std::vector<std::string>{"-3 peers, 42 bytes, 1.2 s, "});
    EXPECT_EQ(capture.lines(koLog::Level::Warning), std::vector<std::string>{"line"});
    EXPECT_EQ(capture.lines(koLog::Level::Error), std::vector<std::string>{"Upload failed: Connection reset\n"});

    capture.clear();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                koLog::info("thread %d line %d", t, i);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(capture.lines().size(), 800u);
    EXPECT_EQ(capture.count("thread 3 line 199"), 1);
}

// Without a sink of the host's, lines go to the Qt category "kosession".
std::vector<std::string> qtLines;

TEST(koLog, DefaultSinkIsTheKosessionCategory)
{
    koLog::setSink(nullptr);
    const QtMessageHandler before = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context,
                                                              const QString& text) {
        qtLines.push_back(std::to_string(type) + " " + (context.category ? context.category : "") + " " + text.toStdString());
    });
    koLog::info("info %d", 1);
    koLog::warning("warning %d\n", 2);
    koLog::error("error %d", 3);
    qInstallMessageHandler(before);
    const std::vector<std::string> expected = {std::to_string(QtInfoMsg) + " kosession info 1",
                                               std::to_string(QtWarningMsg) + " kosession warning 2",
                                               std::to_string(QtCriticalMsg) + " kosession error 3"};
    EXPECT_EQ(qtLines, expected);
}

// A QDataStream over the memory streams gives back what it wrote, reads no
// further than it is asked (what follows belongs to the next reader), and
// ends every cut-short read in ReadPastEnd.
TEST(koQStreamDevice, DataStreamOverMemoryStreams)
{
    const QStringList list = {QStringLiteral("Grüße"), QString(), QString(3000, QChar('z'))};
    koMemoryOStream out;
    {
        koQStreamDevice device(&out);
        QDataStream stream(&device);
        stream << qint32(-7) << quint64(1) << list << QByteArray(70000, 'q');
        ASSERT_EQ(stream.status(), QDataStream::Ok);
    }
    out << "NEXT";
    const std::vector<char> data = out.getData();
    for (std::size_t size : {data.size(), std::size_t(0), std::size_t(11), std::size_t(40), data.size() - 5}) {
        SCOPED_TRACE("stream of " + std::to_string(size) + " bytes");
        koMemoryIStream in(data.data(), size);
        qint32 small = 0;
        quint64 big = 0;
        QStringList listBack;
        QByteArray bytes;
        {
            koQStreamDevice device(&in);
            QDataStream stream(&device);
            stream >> small >> big >> listBack >> bytes;
            if (size != data.size()) {
                EXPECT_EQ(stream.status(), QDataStream::ReadPastEnd);
                continue;
            }
            EXPECT_EQ(stream.status(), QDataStream::Ok);
        }
        EXPECT_EQ(small, -7);
        EXPECT_EQ(big, 1u);
        EXPECT_EQ(listBack, list);
        EXPECT_EQ(bytes, QByteArray(70000, 'q'));
        std::string rest(4, '\0');
        EXPECT_TRUE(in.read(&rest[0], 4));
        EXPECT_EQ(rest, "NEXT");
    }
}

// The pages ahead of a filler are readied on another thread: the bytes the
// filler writes stay as written, and destruction stops it at every stage.
TEST(koMemoryPages, NeverChangesTheBytesTheFillerWrites)
{
    const std::size_t size = 24 * 1024 * 1024 + 123;
    std::vector<char> expected(size);
    for (std::size_t i = 0; i < size; ++i)
        expected[i] = static_cast<char>(i * 131 + (i >> 20));
    std::vector<char> data;
    data.reserve(size);
    {
        koMemoryPages pages(data.data(), size, 4 * 1024 * 1024);
        while (data.size() < size) {
            const std::size_t piece = std::min(size - data.size(), std::size_t(1024 * 1024 + 7));
            data.insert(data.end(), expected.begin() + data.size(), expected.begin() + data.size() + piece);
            pages.filled(data.size());
        }
    }
    EXPECT_TRUE(data == expected);
    std::vector<char> unfilled(8 * 1024 * 1024);
    koMemoryPages stoppedEarly(unfilled.data(), unfilled.size(), 1024 * 1024);
    stoppedEarly.filled(0);
}

} // namespace
