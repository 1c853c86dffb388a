#pragma once

// Helpers shared by the tests. The other koTest*.h files of this folder hold
// the larger ones (memory serializer, log capture, application, execution log).

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Readable failure messages for the texts tests compare.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& texts, std::ostream* out)
{
    *out << '[' << texts.join(", ").toStdString() << ']';
}

namespace koTest {

// Polls `condition` every few milliseconds until it holds or `timeout` passes;
// returns its last value. Used instead of fixed sleeps.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Overrides the version texts (process-wide) while it lives, so a test can
// provoke a version mismatch; the built-in texts come back when it goes.
class VersionOverride
{
public:
    VersionOverride(const std::string& version, const std::string& display);
    ~VersionOverride();
    VersionOverride(const VersionOverride&) = delete;
    VersionOverride& operator=(const VersionOverride&) = delete;
};

// `size` bytes of a pseudo-random sequence chosen by `seed`.
std::vector<char> randomBytes(std::size_t size, std::uint32_t seed);

// A session link to a server listening on 127.0.0.1:`port`.
QString loopbackLink(int port, const QString& password = QString());

} // namespace koTest
