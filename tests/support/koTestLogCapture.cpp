#include "koTestLogCapture.h"

#include "koTestSupport.h"

namespace koTest {

LogCapture::LogCapture()
{
    previous = koLog::setSink([this](koLog::Level level, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        captured.push_back({level, line});
    });
}

LogCapture::~LogCapture()
{
    koLog::setSink(previous);
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (const Line& line : captured)
        texts.push_back(line.text);
    return texts;
}

std::vector<std::string> LogCapture::lines(koLog::Level level) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (const Line& line : captured) {
        if (line.level == level)
            texts.push_back(line.text);
    }
    return texts;
}

int LogCapture::count(const std::string& part) const
{
    int found = 0;
    for (const std::string& line : lines())
        found += line.find(part) != std::string::npos ? 1 : 0;
    return found;
}

bool LogCapture::waitFor(const std::string& part, std::chrono::milliseconds timeout) const
{
    return koTest::waitFor([&] { return count(part) > 0; }, timeout);
}

} // namespace koTest
