#pragma once

// A running server and helpers to join participants and drive their main
// threads, for the whole-session tests.

#include "koServerTestKit.h"
#include "koSessionTestCommands.h"

#include "koSessionClient.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <memory>
#include <thread>
#include <vector>

#include <ostream>

// Readable failure messages for the texts the tests compare.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& texts, std::ostream* out)
{
    *out << '[' << texts.join(", ").toStdString() << ']';
}

class koSessionTestFixture : public ::testing::Test
{
protected:
    using ClientPtr = std::shared_ptr<koSessionClient>;

    void SetUp() override
    {
        koServerTest::prepareProcess();
        koExecutionLog::the().reset(std::this_thread::get_id());
        host = std::make_unique<koServerTest::TestServer>();
    }

    void TearDown() override { host.reset(); }

    ClientPtr join(const QString& name) { return koServerTest::join(host->link(), name); }

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
        return koExecutionLog::the().has(client->getUserId(), text);
    }

    static QStringList executed(const ClientPtr& client, int thread = -1)
    {
        return koExecutionLog::the().texts(client->getUserId(), thread);
    }

    static std::vector<koSessionClient*> raw(const std::vector<ClientPtr>& clients)
    {
        std::vector<koSessionClient*> pointers;
        for (const ClientPtr& client : clients)
            pointers.push_back(client.get());
        return pointers;
    }

    std::unique_ptr<koServerTest::TestServer> host;
};
