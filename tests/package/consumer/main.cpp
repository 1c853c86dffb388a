// Calls into the installed libraries and checks what comes back; prints where
// the libraries were loaded from so the test can tell that the installed copy
// was used.
#include "koCrypt.h"
#include "koMemoryIStream.h"
#include "koMemoryOStream.h"
#include "koQStreamDevice.h"
#include "koVersionInfo.h"

#include <QDataStream>
#include <QString>

#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    failures += ok ? 0 : 1;
}

std::string libraryOf(const void* symbol)
{
    Dl_info info{};
    return dladdr(symbol, &info) && info.dli_fname ? info.dli_fname : "unknown";
}

} // namespace

int main()
{
    const std::string version = koVersionInfo::the().getVersionString();
    check(version == KOSESSION_FOUND_VERSION, "version text matches the package version");

    const std::vector<unsigned char> key = {'c', 'o', 'n', 's', 'u', 'm', 'e', 'r', '9'};
    koCrypt coder(key), decoder(key);
    const std::string text = "a session link in its coded form";
    std::string coded, decoded;
    for (char c : text)
        coded += static_cast<char>(coder.code(static_cast<unsigned char>(c)));
    for (char c : coded)
        decoded += static_cast<char>(decoder.code(static_cast<unsigned char>(c)));
    check(coded != text && decoded == text, "koCrypt codes and decodes");

    koMemoryOStream out;
    {
        koQStreamDevice device(&out);
        QDataStream stream(&device);
        stream << QString::fromStdString(version) << qint32(-42);
    }
    const std::vector<char> bytes = out.getData();
    koMemoryIStream in(bytes);
    koQStreamDevice device(&in);
    QDataStream stream(&device);
    QString back;
    qint32 number = 0;
    stream >> back >> number;
    check(stream.status() == QDataStream::Ok && back.toStdString() == version && number == -42,
          "QDataStream round trip through the memory streams");

    std::printf("koVersionInfo loaded from %s\n",
                libraryOf(reinterpret_cast<const void*>(&koVersionInfo::the)).c_str());
    return failures == 0 ? 0 : 1;
}
