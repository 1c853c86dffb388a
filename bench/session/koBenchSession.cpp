#include "koBenchSession.h"

#include "koBenchProxy.h"
#include "koBenchScenarios.h"

#include <stdexcept>

koBenchSession::koBenchSession(const koBenchSettings& settings, int participants)
{
    if (!settings.haproxyConfig.isEmpty()) {
        proxy = std::make_unique<koBenchProxy>();
        proxy->start(settings.haproxyConfig);
    }
    server.start(settings.serverProgram, proxy ? proxy->getServerArguments() : QStringList());
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
