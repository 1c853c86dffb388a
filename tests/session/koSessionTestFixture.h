#pragma once

// Helpers to join participants to the fixture's server and drive their main
// threads, for the whole-session tests.

#include "koServerTestKit.h"
#include "koSessionTestCommands.h"
#include "koTestSupport.h"

#include "koSessionClient.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <memory>
#include <thread>
#include <vector>

class koSessionTestFixture : public koServerTest::SessionTest
{
protected:
    // Joins every name in turn and waits until each has the whole roster.
    std::vector<ClientPtr> joinAll(const QStringList& names)
    {
        std::vector<ClientPtr> clients;
        for (const QString& name : names)
            clients.push_back(join(name));
        EXPECT_TRUE(settled(clients));
        return clients;
    }

    // Executes received changes on every client until each roster has them all.
    static bool settled(const std::vector<ClientPtr>& clients)
    {
        return koServerTest::pumpUntil(raw(clients), [&] {
            for (const ClientPtr& client : clients) {
                if (client->getUsers().size() != clients.size())
                    return false;
            }
            return true;
        });
    }

    // Executes received changes until `condition` holds.
    static bool pump(const std::vector<ClientPtr>& clients, const std::function<bool()>& condition)
    {
        return koServerTest::pumpUntil(raw(clients), condition);
    }

    static bool hasExecuted(const ClientPtr& client, const QString& text)
    {
        return koTest::ExecutionLog::the().has(client->getUserId(), text);
    }

    static QStringList executed(const ClientPtr& client, int thread = -1)
    {
        return koTest::ExecutionLog::the().texts(client->getUserId(), thread);
    }

    static std::vector<koSessionClient*> raw(const std::vector<ClientPtr>& clients)
    {
        std::vector<koSessionClient*> pointers;
        for (const ClientPtr& client : clients)
            pointers.push_back(client.get());
        return pointers;
    }
};
