#include "koTestSupport.h"

#include "koSession.h"

#include "koVersionInfo.h"

#include <random>
#include <thread>

namespace koTest {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

VersionOverride::VersionOverride(const std::string& version, const std::string& display)
{
    koVersionInfo::the().setVersionStrings(version, display);
}

VersionOverride::~VersionOverride()
{
    koVersionInfo::the().setVersionStrings(std::string(), std::string());
}

std::vector<char> randomBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<char> bytes(size);
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xff);
    return bytes;
}

QString loopbackLink(int port, const QString& password)
{
    return koSession::createSessionLink(QStringLiteral("127.0.0.1:%1").arg(port), password);
}

} // namespace koTest
