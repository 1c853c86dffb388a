#include "koVersionInfo.h"

#include "koVersionTexts.h"

#include <mutex>

namespace {

// The texts in force: the built-in ones unless a test replaced them.
struct Texts
{
    std::string version = KO_VERSION_STRING;
    std::string displayVersionYear = KO_DISPLAY_VERSION_YEAR_STRING;
};

// Guards texts(). Taken by every getter (to copy) and by setVersionStrings.
std::mutex textsMutex;

Texts& texts()
{
    static Texts current;
    return current;
}

} // namespace

koVersionInfo::koVersionInfo() = default;

koVersionInfo& koVersionInfo::the()
{
    static koVersionInfo s_the;
    return s_the;
}

std::string koVersionInfo::getVersionString() const
{
    std::lock_guard<std::mutex> lock(textsMutex);
    return texts().version;
}

std::string koVersionInfo::getDisplayVersionYearString() const
{
    std::lock_guard<std::mutex> lock(textsMutex);
    return texts().displayVersionYear;
}

void koVersionInfo::setVersionStrings(const std::string& version, const std::string& displayVersionYear)
{
    std::lock_guard<std::mutex> lock(textsMutex);
    texts().version = version.empty() ? std::string(KO_VERSION_STRING) : version;
    texts().displayVersionYear = displayVersionYear.empty()
        ? std::string(KO_DISPLAY_VERSION_YEAR_STRING) : displayVersionYear;
}
