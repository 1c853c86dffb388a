#include "koSceneTestKit.h"

#include "koServerTestKit.h"
#include "koTestSupport.h"

#include "koSessionCommandFactory.h"

#include "koNetStream.h"
#include "koSocketLink.h"

#include <atomic>

namespace koSceneTest {

namespace {

koSessionCommandFactory::Register<SceneLoadCommand> registerSceneLoad("LoadScene");
std::atomic<int> sceneLoads{0};

} // namespace

std::vector<char> makeScene(std::size_t size, std::uint32_t seed)
{
    std::vector<char> scene(size);
    std::uint64_t state = 0x9e3779b97f4a7c15ull * (seed + 1);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        for (int b = 0; b < 8; ++b)
            scene[i + b] = static_cast<char>(state >> (8 * b));
    }
    for (; i < size; ++i)
        scene[i] = static_cast<char>(seed + i);
    return scene;
}

ProgressRecorder::ProgressRecorder(Action action)
{
    previous = koNetProgress::setObserver([this, action](const koNetProgress::State& state) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(state);
        }
        if (action)
            action(state);
    });
}

ProgressRecorder::~ProgressRecorder()
{
    koNetProgress::setObserver(previous);
}

std::vector<koNetProgress::State> ProgressRecorder::states() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

std::vector<std::string> ProgressRecorder::texts() const
{
    std::vector<std::string> result;
    for (const koNetProgress::State& state : states()) {
        if (result.empty() || state.text != result.back())
            result.push_back(state.text);
    }
    return result;
}

std::vector<double> ProgressRecorder::pieces(const std::string& text) const
{
    std::vector<double> result;
    double lastDone = 0.0;
    for (const koNetProgress::State& state : states()) {
        if (state.text == text && state.done > lastDone)
            result.push_back(state.done - lastDone);
        lastDone = state.done;
    }
    return result;
}

double ProgressRecorder::total(const std::string& text) const
{
    for (const koNetProgress::State& state : states()) {
        if (state.text == text)
            return state.total;
    }
    return -1.0;
}

bool waitForCount(const std::function<int()>& counter, int count, std::chrono::milliseconds timeout)
{
    return koTest::waitFor([&] { return counter() >= count; }, timeout);
}

RawTransfer openRaw(int port, std::uint32_t request)
{
    RawTransfer transfer;
    transfer.link = koServerTest::connectCiphered(port);
    transfer.stream = std::make_unique<koNetStream>(transfer.link);
    transfer.stream->putValue(request);
    transfer.stream->flush();
    return transfer;
}

void putRawHeader(koNetStream& stream, const std::string& name, bool zero, std::uint64_t size)
{
    stream.putValue(static_cast<std::uint32_t>(name.size() + (zero ? 1 : 0)));
    stream.putBytes(name.data(), name.size());
    if (zero)
        stream.putValue(std::uint8_t(0));
    stream.putValue(size);
}

SceneLoadCommand::SceneLoadCommand()
    : koSessionCommand(false, true)
{
}

void SceneLoadCommand::execute(koSessionClient*) const
{
    ++sceneLoads;
}

int SceneLoadCommand::executions()
{
    return sceneLoads.load();
}

} // namespace koSceneTest
