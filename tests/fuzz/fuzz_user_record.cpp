// Both forms of the participant record: the QDataStream form that roster and
// info payloads carry, and the counted form of the join handshake. The first
// byte picks the form (even: stream, odd: counted). A record that reads
// cleanly must survive being written and read again unchanged.

#include "koFuzzSupport.h"
#include "koTestBytes.h"

#include "koNetError.h"
#include "koSessionUser.h"

#include <QByteArray>
#include <QDataStream>
#include <QImage>

#include <cstdint>

namespace {

const char Target[] = "fuzz_user_record";

using koTest::streamFormOf;

// A record that read cleanly holds no picture above the limit. Written once,
// it is in its settled form: reading that back and writing it again gives the
// same bytes and an equal record.
void checkRoundTrip(const koSessionUser& user)
{
    const QImage image = user.getDeviceImage();
    koFuzz::check(image.width() <= koSessionUser::maxDeviceImageSide
                      && image.height() <= koSessionUser::maxDeviceImageSide,
                  Target, "a device picture above the limit was read");
    const QByteArray written = streamFormOf(user);
    QDataStream in(written);
    koSessionUser reread;
    reread.get(in);
    koFuzz::check(in.status() == QDataStream::Ok, Target, "a written record does not read back");
    koFuzz::check(in.atEnd(), Target, "reading a written record left bytes over");
    koFuzz::check(!(reread != user) && reread.getProjectName() == user.getProjectName(), Target,
                  "the record read back differs");
    koFuzz::check(streamFormOf(reread) == written, Target, "the record written twice differs");

    koTest::MemorySerializer counted;
    counted.recordPieces = false;
    user.putValue(counted);
    koSessionUser fromCounted;
    fromCounted.getValue(counted);
    koFuzz::check(counted.position == counted.bytes.size(), Target, "the counted form left bytes over");
    koFuzz::check(!(fromCounted != user), Target, "the counted form read back differs");
}

void readStreamForm(const std::vector<char>& bytes)
{
    const QByteArray raw = QByteArray::fromRawData(bytes.data(), static_cast<int>(bytes.size()));
    QDataStream stream(raw);
    koSessionUser user;
    user.get(stream);
    if (stream.status() == QDataStream::Ok)
        checkRoundTrip(user);
}

void readCountedForm(const std::vector<char>& bytes)
{
    koTest::MemorySerializer in(bytes);
    in.recordPieces = false;
    koSessionUser user;
    try {
        user.getValue(in);
    } catch (const koNetError&) {
        return;
    }
    // The counted form takes the count's bytes whether the inner form used
    // them all or not; only a clean inner form is settled.
    const QByteArray inner = QByteArray::fromRawData(bytes.data() + 8, static_cast<int>(in.position - 8));
    QDataStream stream(inner);
    koSessionUser again;
    again.get(stream);
    if (stream.status() == QDataStream::Ok)
        checkRoundTrip(again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koFuzz::Input input(data, size);
    const bool counted = input.takeByte() % 2 != 0;
    const std::vector<char> bytes = input.takeRest();
    if (counted)
        readCountedForm(bytes);
    else
        readStreamForm(bytes);
    return 0;
}
