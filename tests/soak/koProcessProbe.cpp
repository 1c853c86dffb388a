#include "koProcessProbe.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

std::string koProcessFigures::toString() const
{
    std::ostringstream text;
    text << threads << " threads, " << descriptors << " open descriptors, " << residentKiB << " KiB resident";
    return text.str();
}

koProcessProbe::koProcessProbe(std::int64_t pid)
    : root("/proc/" + std::to_string(pid))
{
}

koProcessFigures koProcessProbe::read() const
{
    koProcessFigures figures;
    figures.threads = countEntries(root + "/task");
    figures.descriptors = countEntries(root + "/fd");
    figures.residentKiB = readResidentKiB();
    return figures;
}

int koProcessProbe::countEntries(const std::string& directory)
{
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            ++count;
    }
    closedir(dir);
    // Reading our own descriptors counts the one opendir held.
    return count;
}

std::int64_t koProcessProbe::readResidentKiB() const
{
    std::ifstream status(root + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6));
    }
    return -1;
}

std::int64_t koProcessProbe::findChild(const std::string& program)
{
    char wanted[PATH_MAX];
    if (!realpath(program.c_str(), wanted))
        return -1;
    DIR* dir = opendir("/proc");
    if (!dir)
        return -1;
    std::int64_t found = -1;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat("/proc/" + name + "/stat");
        std::string line;
        std::getline(stat, line);
        // "pid (name) state ppid ...": the name may hold anything, so count
        // from the last parenthesis.
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(line.substr(close + 1));
        std::string state;
        std::int64_t parent = 0;
        fields >> state >> parent;
        if (parent != getpid())
            continue;
        char executable[PATH_MAX];
        const ssize_t length = readlink(("/proc/" + name + "/exe").c_str(), executable, sizeof(executable) - 1);
        if (length <= 0)
            continue;
        executable[length] = 0;
        if (std::string(executable) == wanted) {
            found = std::stoll(name);
            break;
        }
    }
    closedir(dir);
    return found;
}
