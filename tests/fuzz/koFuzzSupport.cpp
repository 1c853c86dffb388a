// The fuzz targets: one function per reader of bytes that come from outside,
// each checking that reader's invariants and aborting with a message when one
// breaks. koFuzzEntry.cpp makes each of them a program of its own.
#include "koCipherTestPair.h"
#include "koTestBytes.h"

#include "koConnectionClosed.h"
#include "koLog.h"
#include "koSession.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionSceneWire.h"
#include "koSessionWire.h"

#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace koFuzz {

namespace {

using Bytes = std::vector<char>;

void check(bool condition, const char* what)
{
    if (condition)
        return;
    // Both libFuzzer and the replay program report the abort with the input at fault.
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Control bytes from the front of an input (0 past its end), then the rest.
class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    std::uint8_t byte() { return position < size ? data[position++] : 0; }
    std::size_t size1To(std::size_t limit) { return 1 + byte() % limit; }
    Bytes rest() const { return Bytes(data + std::min(position, size), data + size); }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

template <class Write>
Bytes written(Write write)
{
    koTest::MemorySerializer out;
    out.recordPieces = false;
    write(out);
    return out.bytes;
}

// A participant record that read cleanly, once written, is settled: it reads
// back equal in both forms and writes the same bytes again.
void checkUserSettled(const koSessionUser& user)
{
    const QImage image = user.getDeviceImage();
    check(image.width() <= koSessionUser::maxDeviceImageSide && image.height() <= koSessionUser::maxDeviceImageSide,
          "a device picture above the limit was read");
    const QByteArray form = koTest::streamFormOf(user);
    QDataStream in(form);
    koSessionUser again;
    again.get(in);
    check(in.status() == QDataStream::Ok && in.atEnd() && !(again != user), "a written record reads back otherwise");
    check(koTest::streamFormOf(again) == form, "the record written twice differs");
    koTest::MemorySerializer counted(written([&](koNetSerializer& s) { user.putValue(s); }));
    koSessionUser fromCounted;
    fromCounted.getValue(counted);
    check(counted.position == counted.bytes.size() && !(fromCounted != user), "the counted form reads back otherwise");
}

} // namespace

// Change records back to back, as a link's receiving thread reads them, into
// a change list.
int changeRecord(const std::uint8_t* data, std::size_t size)
{
    koTest::MemorySerializer in(Bytes(data, data + size));
    const auto list = std::make_shared<koSessionChangeList>();
    const auto reader = list->getReader(true);
    for (int i = 0; i < 64; ++i) {
        const std::size_t start = in.position;
        koSessionChange record;
        try {
            record.getValue(in);
        } catch (const koNetError&) {
            break;
        }
        // Written back, a record is the bytes it came from; any non-zero flag
        // byte (offsets 6 to 9) reads as true and is written as 1.
        Bytes consumed(in.bytes.begin() + start, in.bytes.begin() + in.position);
        for (std::size_t flag = 6; flag < 10; ++flag)
            consumed[flag] = consumed[flag] != 0;
        check(written([&](koNetSerializer& s) { record.putValue(s); }) == consumed, "a record is written back otherwise");
        const auto change = std::make_shared<koSessionChange>(record);
        change->getCommand(); // a built-in type reads its payload
        list->push(change);
        std::shared_ptr<koSessionChange> next;
        if (i % 2 == 0)
            reader->tryPop(next);
    }
    reader->popAll();
    return 0;
}

// A participant record; the first byte picks the form (even: QDataStream,
// odd: counted, as in the join handshake).
int userRecord(const std::uint8_t* data, std::size_t size)
{
    Input input(data, size);
    const bool counted = input.byte() % 2 != 0;
    const Bytes bytes = input.rest();
    koSessionUser user;
    if (!counted) {
        QDataStream stream(QByteArray::fromRawData(bytes.data(), static_cast<int>(bytes.size())));
        user.get(stream);
        if (stream.status() == QDataStream::Ok)
            checkUserSettled(user);
        return 0;
    }
    koTest::MemorySerializer in(bytes);
    try {
        user.getValue(in);
    } catch (const koNetError&) {
        return 0;
    }
    // The counted form takes its count's bytes whether the inner form used
    // them all or not; only a clean inner form is settled.
    QDataStream inner(QByteArray::fromRawData(bytes.data() + 8, static_cast<int>(in.position - 8)));
    koSessionUser again;
    again.get(inner);
    if (inner.status() == QDataStream::Ok)
        checkUserSettled(again);
    return 0;
}

// The server's version answer: version text, participant count and names.
int handshake(const std::uint8_t* data, std::size_t size)
{
    koTest::MemorySerializer in(Bytes(data, data + size));
    QString version;
    QStringList names;
    try {
        version = koSessionWire::getText(in, "Server version text");
        check(static_cast<std::uint32_t>(version.size()) <= koSessionWire::MaxTextUnits, "a long text was read");
        names = koSessionWire::getNames(in);
    } catch (const koNetError&) {
        return 0;
    }
    check(static_cast<std::uint64_t>(names.size()) <= koSessionWire::MaxNames, "more names than the limit were read");
    const Bytes out = written([&](koNetSerializer& s) {
        koSessionWire::putText(s, version);
        koSessionWire::putNames(s, names);
    });
    check(out.size() == in.position && std::equal(out.begin(), out.end(), in.bytes.begin()),
          "the answer is written back otherwise");
    return 0;
}

// The tunnel header, read raw from a socket before any cipher.
int tunnelHeader(const std::uint8_t* data, std::size_t size)
{
    auto links = koSocketLink::createPair();
    links.second->setRecvTimeout(10.0);
    links.first->send(data, size); // a socket pair holds far more than the longest input
    links.first.reset();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t blank = text.find("\r\n\r\n");
    const std::size_t end = blank == std::string::npos ? blank : blank + 4;
    const bool fits = end != std::string::npos && end <= koSessionWire::MaxTunnelHeaderBytes;
    std::string header;
    try {
        header = koSessionWire::readTunnelHeader(*links.second, "Tunnel request");
    } catch (const koConnectionClosed&) {
        check(end == std::string::npos && size < koSessionWire::MaxTunnelHeaderBytes, "the link closed too early");
        return 0;
    } catch (const koNetError&) {
        check(!fits, "a header within the limit was refused");
        return 0;
    }
    check(fits && header == text.substr(0, end), "the header read is not the input up to its blank line");
    if (end < size) { // what follows the header stays on the link for the cipher
        char next = 0;
        links.second->recv(&next, 1);
        check(next == text[end], "the byte after the header was lost");
    }
    return 0;
}

// Raw bytes into the receiving cipher of a keyed link, arriving in pieces:
// nothing made without the key passes.
int cipherFrames(const std::uint8_t* data, std::size_t size)
{
    // A refused frame leaves a cipher where it was, so one serves every input.
    static const koTest::CipherPair pair = koTest::makeCipherPair();
    Input input(data, size);
    const std::size_t step = input.size1To(64);
    const Bytes raw = input.rest();
    Bytes plain;
    try {
        for (std::size_t arrived = 0, used = 0; arrived < raw.size();) {
            arrived += std::min(step, raw.size() - arrived);
            used += pair.server->open(raw.data() + used, arrived - used, plain);
            check(used == 0, "a frame made without the key was accepted");
        }
    } catch (const koNetError&) {
    }
    check(plain.empty(), "plain text came out of a frame that did not authenticate");
    return 0;
}

// A scene upload's name, size and bytes, which may be fewer than announced.
int sceneHeaders(const std::uint8_t* data, std::size_t size)
{
    // A server configured for scenes of at most 64 MiB keeps the fuzzer on the
    // parsing instead of the allocator.
    const std::uint64_t maxScene = std::uint64_t(64) << 20;
    koTest::MemorySerializer in(Bytes(data, data + size));
    Bytes scene;
    std::size_t read = 0, dataStart = 0, pieces = 0;
    try {
        const std::string name = koSessionSceneWire::getName(in, "fuzz peer");
        const std::uint64_t announced = koSessionSceneWire::getSize(in, maxScene, "fuzz peer");
        check(name.size() < koSessionSceneWire::MaxNameBytes && announced <= maxScene, "a field above its limit was read");
        dataStart = in.position;
        read = koSessionSceneWire::getData(in, scene, static_cast<std::size_t>(announced),
                                           [&pieces](std::size_t) { return ++pieces < 64; });
        check(read <= announced, "more scene bytes read than announced");
    } catch (const koNetError&) {
        return 0; // the link ended: the caller drops what it holds
    }
    check(read == scene.size() && scene.size() <= size - dataStart
              && (scene.empty() || std::memcmp(scene.data(), data + dataStart, scene.size()) == 0),
          "the scene bytes held are not those that arrived");
    return 0;
}

// A session link with its password: "password\nlink".
int sessionLink(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const int newline = text.indexOf(QLatin1Char('\n'));
    const QString password = newline < 0 ? QString() : text.left(newline);
    QString address, sessionId;
    koSession::tryDecryptSessionLink(password, text.mid(newline + 1), address, sessionId);
    if (address.contains(QLatin1Char('/')))
        return 0;
    // The address part of any input, made into a link with this password,
    // decodes back to itself.
    QString madeAddress, madeId;
    check(koSession::tryDecryptSessionLink(password, koSession::createSessionLink(address, password), madeAddress,
                                           madeId)
              && madeAddress == address,
          "a link made for an address decodes to another");
    return 0;
}

} // namespace koFuzz

// Called once before the first input: the readers log every refusal, and a
// fuzzer refuses millions (the formatting still runs).
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    koLog::setSink([](koLog::Level, const std::string&) {});
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        koFuzz::check(type != QtFatalMsg, message.toStdString().c_str());
    });
    return 0;
}
