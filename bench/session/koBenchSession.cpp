#include "koBenchSession.h"

#include "koBenchScenarios.h"

#include <stdexcept>

koBenchSession::koBenchSession(const koBenchSettings& settings, int participants)
{
    server.start(settings.serverProgram);
    people.join(server.getLink(), participants);
    if (!people.settle(60.0))
        throw std::runtime_error("the participants did not all see the whole roster");
}

koBenchSession::~koBenchSession()
{
    leave();
}

void koBenchSession::leave()
{
    people.leaveAll();
    server.waitForExit(std::chrono::seconds(15));
}
