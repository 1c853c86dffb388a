// Payloads of the library's own commands ("UpdateInfo", "UpdatePose",
// "UpdateUsers"; the first byte picks one). Each payload is read twice: from
// a QDataStream over the bytes, and the way a received change is executed,
// through a change record and the command factory. Both must give the same
// command, and a payload that reads cleanly must be settled once written.

#include "koFuzzSupport.h"
#include "koTestBytes.h"

#include "koSessionChange.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"
#include "koSessionUserPoseCommand.h"

#include <QByteArray>
#include <QDataStream>

#include <cstdint>
#include <memory>

namespace {

const char Target[] = "fuzz_command_payloads";
const char* const Names[] = {"UpdateInfo", "UpdatePose", "UpdateUsers"};

using koTest::payloadOf;

std::shared_ptr<koSessionCommand> readThroughRecord(unsigned int type, const std::vector<char>& payload)
{
    koTest::MemorySerializer in(koTest::rawRecord(type, 7, payload));
    koSessionChange change;
    change.getValue(in);
    const std::shared_ptr<koSessionCommand> command = change.getCommand();
    koFuzz::check(command != nullptr, Target, "a built-in command type is not registered");
    koFuzz::check(command->getChangedBy() == 7, Target, "the rebuilt command lost its maker");
    return command;
}

void checkSettled(unsigned int type, const QByteArray& written)
{
    const std::shared_ptr<koSessionCommand> again = koSessionCommandFactory::the().create(type);
    QDataStream in(written);
    again->getData(in);
    koFuzz::check(in.status() == QDataStream::Ok && in.atEnd(), Target, "a written payload does not read back whole");
    koFuzz::check(payloadOf(*again) == written, Target, "the payload written twice differs");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    koFuzz::Input input(data, size);
    const char* name = Names[input.takeByte() % 3];
    const std::vector<char> payload = input.takeRest();
    const unsigned int type = koSessionCommandFactory::the().getType(name);

    const std::shared_ptr<koSessionCommand> direct = koSessionCommandFactory::the().create(type);
    const QByteArray raw = QByteArray::fromRawData(payload.data(), static_cast<int>(payload.size()));
    QDataStream stream(raw);
    direct->getData(stream);

    const std::shared_ptr<koSessionCommand> viaRecord = readThroughRecord(type, payload);
    const QByteArray written = payloadOf(*direct);
    koFuzz::check(payloadOf(*viaRecord) == written, Target,
                  std::string(name) + " reads differently through a change record");
    if (stream.status() != QDataStream::Ok)
        return 0;

    // The pose travels without any conversion: when every part it announces
    // was there, what was read is what goes out. (A short pose is accepted as
    // it reads, by design.)
    if (std::dynamic_pointer_cast<koSessionUserPoseCommand>(direct) && raw.size() >= written.size())
        koFuzz::check(written == raw.left(written.size()), Target,
                      "the pose written back differs from the bytes read");
    checkSettled(type, written);
    return 0;
}
