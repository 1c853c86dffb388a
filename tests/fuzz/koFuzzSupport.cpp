#include "koFuzzSupport.h"

#include "koLog.h"
#include "koNetStream.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

namespace koFuzz {

void fail(const char* target, const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

void check(bool condition, const char* target, const std::string& what)
{
    if (!condition)
        fail(target, what);
}

namespace {

void dropQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // A fatal message still ends the run, with its text, as Qt would.
    if (type == QtFatalMsg)
        fail("Qt", message.toStdString());
}

} // namespace

void quietLogs()
{
    koLog::setSink([](koLog::Level, const std::string&) {});
    qInstallMessageHandler(dropQtMessage);
}

Input::Input(const std::uint8_t* data, std::size_t size)
    : data(data)
    , size(size)
{
}

std::uint8_t Input::takeByte()
{
    return position < size ? data[position++] : 0;
}

std::size_t Input::takeSize(std::size_t limit)
{
    return 1 + takeByte() % limit;
}

std::vector<char> Input::takeRest()
{
    std::vector<char> rest(data + position, data + size);
    position = size;
    return rest;
}

CipherPair makeCipherPair()
{
    CipherPair pair;
    std::tie(pair.clientLink, pair.serverLink) = koSocketLink::createPair();
    pair.clientLink->setRecvTimeout(10.0);
    pair.serverLink->setRecvTimeout(10.0);
    koNetStream clientStream(pair.clientLink);
    koNetStream serverStream(pair.serverLink);
    std::exception_ptr serverError;
    std::thread serverSide([&] {
        try {
            pair.server = std::make_shared<koNetCipher>(false, serverStream);
        } catch (...) {
            serverError = std::current_exception();
        }
    });
    std::exception_ptr clientError;
    try {
        pair.client = std::make_shared<koNetCipher>(true, clientStream);
    } catch (...) {
        clientError = std::current_exception();
    }
    serverSide.join();
    if (clientError)
        std::rethrow_exception(clientError);
    if (serverError)
        std::rethrow_exception(serverError);
    return pair;
}

} // namespace koFuzz

// Every target starts with quiet logs: libFuzzer calls this once before the
// first input, and so does the replay program.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    koFuzz::quietLogs();
    return 0;
}
