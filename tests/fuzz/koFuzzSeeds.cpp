// Writes the seed corpus of every fuzz target from real records, made with
// the library's own writers, into <folder>/<target>/:
//   kosession-fuzz-seeds tests/fuzz/corpus
// Run it again after a wire form changes and commit what it writes. Inputs
// that a fuzzer found are kept in the same folders under names of their own.

#include "koTestBytes.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionCommandFactory.h"
#include "koSessionSceneWire.h"
#include "koSessionUser.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"
#include "koSessionWire.h"

#include <QByteArray>
#include <QDataStream>
#include <QImage>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<char>;

struct Seed
{
    const char* name;
    Bytes bytes;
};

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes byte(unsigned value)
{
    return Bytes(1, static_cast<char>(value));
}

Bytes prefix(const Bytes& bytes, std::size_t size)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(size, bytes.size())));
}

template <class Write>
Bytes serialized(Write write)
{
    koTest::MemorySerializer out;
    out.recordPieces = false;
    write(out);
    return out.bytes;
}

Bytes uint32(std::uint32_t value)
{
    return serialized([&](koNetSerializer& s) { s.putValue(value); });
}

Bytes uint64(std::uint64_t value)
{
    return serialized([&](koNetSerializer& s) { s.putValue(value); });
}

koSessionUser participant(unsigned short id, const char* name, bool withImage)
{
    koSessionUser user;
    user.setId(id);
    user.setName(QString::fromUtf8(name));
    user.setColor(QColor(20 * id, 120, 200));
    user.setProjectCRC(0xbeef0000u + id);
    user.setProjectName(QStringLiteral("Plant hall"));
    user.setRoom(QStringLiteral("Room 2"));
    user.setDeviceName(QStringLiteral("Headset"));
    user.setIsHmd(id % 2 == 0);
    user.setIsSpectator(id == 3);
    user.setSpectatedUserId(id == 3 ? 1 : 0);
    user.setSpectatorCount(id == 1 ? 1 : 0);
    if (withImage) {
        QImage image(4, 4, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        image.setPixel(1, 1, 0xff000000u);
        user.setDeviceImage(image);
    }
    return user;
}

Bytes streamForm(const koSessionUser& user)
{
    const QByteArray bytes = koTest::streamFormOf(user);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes payloadOf(const koSessionCommand& command)
{
    const QByteArray bytes = koTest::payloadOf(command);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes recordOf(const koSessionCommand& command, unsigned short changedBy)
{
    const koSessionChange change(command, changedBy);
    return serialized([&](koNetSerializer& s) { change.putValue(s); });
}

koSessionUserPoseCommand pose(unsigned parts)
{
    osg::TransformationMatrix<float> camera;
    koSessionUserPoseCommand command(2, camera);
    if (parts & 1)
        command.setHeadTracker(camera);
    if (parts & 2)
        command.setLeftHandTracker(camera, koHandTypes::Fist);
    if (parts & 4)
        command.setRightHandTracker(camera, koHandTypes::Pointing);
    if (parts & 8)
        command.setPointer(osg::Point<float, 3>(), osg::Point<float, 3>());
    return command;
}

koSessionUsersCommand roster()
{
    return koSessionUsersCommand({participant(1, "Ada", false), participant(3, "Lin", true)});
}

// A record of a type nobody registered, with a state identifier.
Bytes unknownRecord()
{
    return uint32(0x12345678) + Bytes{5, 0, 1, 0, 0, 0, 0, 0} + uint32(6) + Bytes{0x12, 0x34, 0x56, 0x78, 'a', 'b'}
        + uint64(3) + text("xyz");
}

Bytes loadSceneRecord()
{
    const unsigned type = koSessionCommandFactory::the().getType("LoadScene");
    return uint32(type) + Bytes{1, 0, 0, 1, 0, 0, 0, 0} + uint32(0) + uint64(0);
}

std::vector<Seed> changeRecords()
{
    const Bytes info = recordOf(koSessionUserInfoCommand(participant(1, "Ada", false)), 1);
    const Bytes poses = recordOf(pose(15), 2);
    const Bytes users = recordOf(roster(), 0);
    return {
        {"info", info},
        {"pose-all-parts", poses},
        {"pose-then-pose", recordOf(pose(0), 2) + poses},
        {"users", users},
        {"unknown-type", unknownRecord()},
        {"load-scene-cuts", info + poses + loadSceneRecord() + users},
        {"stream-of-five", info + poses + unknownRecord() + users + poses},
        {"truncated", info + prefix(poses, poses.size() - 5)},
        {"state-id-negative", prefix(info, 12) + uint32(0xffffffffu)},
        {"state-id-too-long", prefix(info, 12) + uint32(64 * 1024 + 1)},
        {"payload-size-huge", prefix(unknownRecord(), 22) + uint64(~std::uint64_t(0) >> 1) + text("abc")},
        {"empty", Bytes()},
    };
}

koSessionUser withPicture(int side)
{
    koSessionUser user = participant(4, "Kim", false);
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    user.setDeviceImage(image);
    return user;
}

std::vector<Seed> userRecords()
{
    const koSessionUser plain = participant(1, "Ada", false);
    const koSessionUser pictured = participant(3, "Lin", true);
    const int side = koSessionUser::maxDeviceImageSide;
    const Bytes counted = serialized([&](koNetSerializer& s) { pictured.putValue(s); });
    return {
        {"stream-plain", byte(0) + streamForm(plain)},
        {"stream-default", byte(0) + streamForm(koSessionUser())},
        {"stream-image", byte(0) + streamForm(pictured)},
        {"stream-truncated", byte(0) + prefix(streamForm(pictured), 60)},
        {"stream-image-at-limit", byte(0) + streamForm(withPicture(side))},
        {"stream-image-over-limit", byte(0) + streamForm(withPicture(side + 1))},
        {"counted-plain", byte(1) + serialized([&](koNetSerializer& s) { plain.putValue(s); })},
        {"counted-image", byte(1) + counted},
        {"counted-count-short", byte(1) + uint64(4) + prefix(streamForm(plain), 4)},
        {"counted-count-long", byte(1) + uint64(5000) + streamForm(plain)},
        {"counted-over-limit", byte(1) + uint64(koSessionUser::maxSerializedSize + 1)},
        {"counted-count-huge", byte(1) + uint64(~std::uint64_t(0))},
    };
}

std::vector<Seed> commandPayloads()
{
    const Bytes users = payloadOf(roster());
    return {
        {"info", byte(0) + payloadOf(koSessionUserInfoCommand(participant(1, "Ada", true)))},
        {"info-empty", byte(0)},
        {"pose-camera", byte(1) + payloadOf(pose(0))},
        {"pose-head", byte(1) + payloadOf(pose(1))},
        {"pose-hands", byte(1) + payloadOf(pose(6))},
        {"pose-all", byte(1) + payloadOf(pose(15))},
        {"pose-short", byte(1) + prefix(payloadOf(pose(15)), 100)},
        {"pose-odd-mask", byte(1) + Bytes{0, 2, 0x7f, 0, 0, 0x10} + Bytes(64, 0)},
        {"users", byte(2) + users},
        {"users-empty", byte(2) + payloadOf(koSessionUsersCommand())},
        {"users-count-huge", byte(2) + Bytes{0x7f, 0x7f, 0x7f, 0x7f} + prefix(users, 40)},
        {"users-count-negative", byte(2) + Bytes{char(0xff), char(0xff), char(0xff), char(0xfe)}},
    };
}

std::vector<Seed> handshakes()
{
    const Bytes version = serialized([](koNetSerializer& s) { koSessionWire::putText(s, QStringLiteral("1.0 2026")); });
    const Bytes names = serialized([](koNetSerializer& s) {
        koSessionWire::putNames(s, {QStringLiteral("Ada"), QStringLiteral("Lin"), QString()});
    });
    return {
        {"answer", version + names},
        {"answer-nobody", version + uint64(0)},
        {"empty-version", uint32(0) + names},
        {"text-only", version},
        {"text-over-limit", uint32(koSessionWire::MaxTextUnits + 1)},
        {"text-short", uint32(40) + text("1\0.\0")},
        {"names-over-limit", version + uint64(koSessionWire::MaxNames + 1)},
        {"names-short", version + uint64(3) + prefix(names, 20)},
        {"names-huge-count", version + uint64(~std::uint64_t(0))},
        {"surrogates", uint32(3) + Bytes{0x3d, char(0xd8), 0x00, char(0xde), 0x00, char(0xdc)} + uint64(0)},
    };
}

std::vector<Seed> tunnelHeaders()
{
    const std::string request = "CONNECT session_0a1b2c.version_0.1.0.join.KOVASessionServer HTTP/1.1\r\n\r\n";
    return {
        {"request", text(request)},
        {"request-then-key", text(request) + Bytes(32, 7)},
        {"answer", text("HTTP/1.1 200 OK\r\n\r\n")},
        {"bare-blank-line", text("\r\n\r\n")},
        {"no-end", text("CONNECT session_0a1b2c.version_0.1.0.join HTTP/1.1\r\n")},
        {"lone-newlines", text("GET /\n\n\r\n\r")},
        {"split-end", text("CONNECT x\r\n\r\r\n\r\n")},
        {"empty", Bytes()},
        {"over-limit", Bytes(koSessionWire::MaxTunnelHeaderBytes + 16, 'A')},
        {"end-at-limit", Bytes(koSessionWire::MaxTunnelHeaderBytes - 4, 'B') + text("\r\n\r\n")},
    };
}

// Raw frames: the step byte, then the wire bytes.
std::vector<Seed> cipherFrames()
{
    const Bytes tag(16, 0x5a);
    return {
        {"empty-frame", byte(3) + Bytes{0, 0, 0, 0} + tag},
        {"short-frame", byte(0) + Bytes{5, 0, 0, 0} + text("hello") + tag},
        {"two-frames", byte(7) + Bytes{1, 0, 0, 0} + text("a") + tag + Bytes{1, 0, 0, 0} + text("b") + tag},
        {"at-limit-header", byte(1) + Bytes{0, 0, 1, 0}},
        {"over-limit", byte(1) + Bytes{1, 0, 1, 0} + text("x")},
        {"huge-length", byte(2) + Bytes{char(0xff), char(0xff), char(0xff), char(0xff)} + tag},
        {"partial-header", byte(0) + Bytes{9, 0}},
        {"header-only", byte(0) + Bytes{9, 0, 0, 0}},
    };
}

std::vector<Seed> cipherSealed()
{
    Bytes pattern(3000);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>(i * 31 + 7);
    return {
        {"empty", Bytes{0, 0, 0, 0}},
        {"one-byte", Bytes{0, 0, 0, 0} + text("x")},
        {"record", Bytes{9, 2, 1, 0} + recordOf(pose(15), 2)},
        {"many-small-frames", Bytes{0, 0, 5, 3} + pattern},
        {"large-runs", Bytes{char(0xfe), 15, char(0xfe), 3} + pattern},
        {"byte-by-byte-arrival", Bytes{char(0x80), 1, 0, 0} + prefix(pattern, 600)},
    };
}

// Written in runs: two control bytes, then what a peer sends.
std::vector<Seed> cipherLink()
{
    const Bytes info = recordOf(koSessionUserInfoCommand(participant(1, "Ada", false)), 1);
    const Bytes poses = recordOf(pose(15), 2);
    return {
        {"records", Bytes{char(0xff), 7} + info + poses + recordOf(roster(), 0)},
        {"records-small-writes", Bytes{10, 0} + poses + unknownRecord() + poses},
        {"truncated", Bytes{50, 1} + info + prefix(poses, 40)},
        {"bad-state-id", Bytes{20, 2} + prefix(info, 12) + uint32(0x80000000u)},
        {"empty", Bytes{0, 0}},
    };
}

std::vector<Seed> sceneHeaders()
{
    const Bytes upload = serialized([](koNetSerializer& s) {
        koSessionSceneWire::putName(s, "Plant hall.scene");
        s.putValue<std::uint64_t>(12);
        koSessionSceneWire::putData(s, "scene bytes!", 12);
    });
    return {
        {"upload", upload},
        {"upload-short", prefix(upload, upload.size() - 5)},
        {"no-name", uint32(0) + uint64(3) + text("abc")},
        {"name-without-zero", uint32(3) + text("abc") + uint64(0)},
        {"name-inner-zero", uint32(4) + Bytes{'a', 0, 'b', 0} + uint64(1) + text("z")},
        {"name-over-limit", uint32(koSessionSceneWire::MaxNameBytes + 1)},
        {"name-short", uint32(100) + text("abc")},
        {"size-over-limit", uint32(1) + byte(0) + uint64(koSessionSceneWire::DefaultMaxSceneBytes + 1)},
        {"size-big-data-small", uint32(1) + byte(0) + uint64(100000) + text("tiny")},
        {"empty-scene", uint32(1) + byte(0) + uint64(0)},
    };
}

Bytes utf8(const QString& s)
{
    const QByteArray bytes = s.toUtf8();
    return Bytes(bytes.begin(), bytes.end());
}

std::vector<Seed> sessionLinks()
{
    const QString address = QStringLiteral("127.0.0.1:8889");
    const QString open = koSession::createSessionLink(address, QString());
    const QString guarded = koSession::createSessionLink(QStringLiteral("[::1]:9000"), QStringLiteral("secret"));
    return {
        {"open", text("\n") + utf8(open)},
        {"open-with-password", text("secret\n") + utf8(open)},
        {"guarded", text("secret\n") + utf8(guarded)},
        {"guarded-wrong-password", text("Secret\n") + utf8(guarded)},
        {"guarded-no-password", text("\n") + utf8(guarded)},
        {"no-slash", text("pw\nexample.org")},
        {"odd-hex", text("pw\nhost/abc")},
        {"not-hex", text("\nhost/zz-zz/yy")},
        {"unicode", utf8(QStringLiteral("p\u00e4ss\nh\u00f6st/") + guarded.section(QLatin1Char('/'), 1))},
        {"empty", Bytes()},
    };
}

bool writeSeeds(const fs::path& folder, const char* target, const std::vector<Seed>& seeds)
{
    const fs::path dir = folder / target;
    fs::create_directories(dir);
    for (const Seed& seed : seeds) {
        std::ofstream file(dir / seed.name, std::ios::binary | std::ios::trunc);
        file.write(seed.bytes.data(), static_cast<std::streamsize>(seed.bytes.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", (dir / seed.name).c_str());
            return false;
        }
    }
    std::printf("%s: %zu seeds\n", target, seeds.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const fs::path folder(argv[1]);
    const bool ok = writeSeeds(folder, "change_record", changeRecords())
        && writeSeeds(folder, "user_record", userRecords())
        && writeSeeds(folder, "command_payloads", commandPayloads())
        && writeSeeds(folder, "handshake", handshakes())
        && writeSeeds(folder, "tunnel_header", tunnelHeaders())
        && writeSeeds(folder, "cipher_frames", cipherFrames())
        && writeSeeds(folder, "cipher_sealed", cipherSealed())
        && writeSeeds(folder, "cipher_link", cipherLink())
        && writeSeeds(folder, "scene_headers", sceneHeaders())
        && writeSeeds(folder, "session_link", sessionLinks());
    return ok ? 0 : 1;
}
