// Calls into the installed libraries and prints where they were loaded from,
// so the test can tell that the installed copy was used.
#include "koCrypt.h"
#include "koVersionInfo.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

int main()
{
    const std::string version = koVersionInfo::the().getVersionString();
    // A fresh coder with the same key undoes what another did.
    const std::vector<unsigned char> key = {'c', 'o', 'n', 's', 'u', 'm', 'e', 'r'};
    koCrypt coder(key), decoder(key);
    bool coded = false, decoded = true;
    for (unsigned char c : std::string("a session link in its coded form")) {
        const unsigned char once = coder.code(c);
        coded = coded || once != c;
        decoded = decoded && decoder.code(once) == c;
    }
    Dl_info info{};
    dladdr(reinterpret_cast<const void*>(&koVersionInfo::the), &info);
    std::printf("version %s, coder %s, koVersionInfo loaded from %s\n", version.c_str(),
                coded && decoded ? "works" : "FAILED", info.dli_fname ? info.dli_fname : "unknown");
    return version == KOSESSION_FOUND_VERSION && coded && decoded ? 0 : 1;
}
