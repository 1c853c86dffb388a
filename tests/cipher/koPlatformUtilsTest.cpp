// The utilities under the session library: the keyed coder of session links
// and logging.
#include "koCrypt.h"
#include "koLog.h"
#include "koTestLogCapture.h"

#include <QString>


#include <gtest/gtest.h>


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

TEST(koLog, OneEntryPerCallAtItsLevel)
{
    koTest::LogCapture capture;
    koLog::info("%d peers, %u bytes, %.1f s, %s", -3, 42u, 1.25, "");
    koLog::warning("line\n");
    koLog::error("Upload failed: %s\n\n", "Connection reset");
    EXPECT_EQ(capture.lines(koLog::Level::Info), std::vector<std::string>{"-3 peers, 42 bytes, 1.2 s, "});
    EXPECT_EQ(capture.lines(koLog::Level::Warning), std::vector<std::string>{"line"});
    EXPECT_EQ(capture.lines(koLog::Level::Error), std::vector<std::string>{"Upload failed: Connection reset\n"});
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

} // namespace
