#include "koVersionInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(koVersionInfo, OverrideReplacesBothTextsAndEmptyRestores)
{
    koVersionInfo& info = koVersionInfo::the();
    const std::string builtVersion = info.getVersionString();
    const std::string builtDisplay = info.getDisplayVersionYearString();
    ASSERT_FALSE(builtVersion.empty());
    // The displayed text starts with the major and minor parts of the version.
    const std::string majorMinor = builtVersion.substr(0, builtVersion.rfind('.'));
    EXPECT_EQ(builtDisplay.compare(0, majorMinor.size(), majorMinor), 0) << builtDisplay;

    info.setVersionStrings("9.9.9", "9.9 (1999)");
    EXPECT_EQ(info.getVersionString(), "9.9.9");
    EXPECT_EQ(info.getDisplayVersionYearString(), "9.9 (1999)");
    info.setVersionStrings("", "");
    EXPECT_EQ(info.getVersionString(), builtVersion);
    EXPECT_EQ(info.getDisplayVersionYearString(), builtDisplay);
}

// Readers on other threads see either the old or the new text, never a torn one.
TEST(koVersionInfo, ReadersRaceWithAnOverride)
{
    koVersionInfo& info = koVersionInfo::the();
    const std::string built = info.getDisplayVersionYearString();
    const std::string other = "7.7 (2077) with a text long enough to live on the heap";
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const std::string seen = info.getDisplayVersionYearString();
            if (seen != built && seen != other)
                ++torn;
        }
    });
    for (int i = 0; i < 2000; ++i)
        info.setVersionStrings(i % 2 ? "" : "7.7.7", i % 2 ? "" : other);
    stop.store(true);
    reader.join();
    info.setVersionStrings("", "");
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
