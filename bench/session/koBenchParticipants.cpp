#include "koBenchParticipants.h"

#include "koSessionClient.h"
#include "koSessionUser.h"

#include <chrono>
#include <thread>

koBenchParticipants::~koBenchParticipants()
{
    leaveAll();
}

void koBenchParticipants::join(const QString& link, int count)
{
    for (int i = 0; i < count; ++i) {
        koSessionUser user;
        user.setName(QStringLiteral("bench-%1").arg(joined.size()));
        auto client = std::make_shared<koSessionClient>();
        client->join(link, user, QString(), false);
        joined.push_back(std::move(client));
    }
}

bool koBenchParticipants::settle(double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        bool all = true;
        for (const ClientPtr& client : joined) {
            client->executeCommands();
            all = all && client->getUsers().size() == joined.size();
        }
        if (all)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void koBenchParticipants::leaveAll()
{
    for (const ClientPtr& client : joined)
        client->stop();
    joined.clear();
}
