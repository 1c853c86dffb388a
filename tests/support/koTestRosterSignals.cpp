#include "koTestRosterSignals.h"

#include "koSession.h"

#include <utility>

namespace koTest {

RosterSignals::RosterSignals(std::function<bool()> acceptSignal)
    : accept(std::move(acceptSignal))
{
    koSession& facade = koSession::the();
    const auto named = [](const char* what, const koSessionUser& user) {
        return QStringLiteral("%1 %2 %3").arg(QLatin1String(what)).arg(user.getId()).arg(user.getName());
    };
    connections = {
        QObject::connect(&facade, &koSession::userAdded,
                         [this, named](const koSessionUser& user) { add(named("added", user)); }),
        QObject::connect(&facade, &koSession::userChanged,
                         [this, named](const koSessionUser& user) { add(named("changed", user)); }),
        QObject::connect(&facade, &koSession::userRemoved,
                         [this](koSessionUserId id) { add(QStringLiteral("removed %1").arg(id)); }),
    };
}

RosterSignals::~RosterSignals()
{
    for (const QMetaObject::Connection& connection : connections)
        QObject::disconnect(connection);
}

QStringList RosterSignals::events() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

QStringList RosterSignals::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(recorded, QStringList());
}

void RosterSignals::add(const QString& event)
{
    if (accept && !accept())
        return;
    std::lock_guard<std::mutex> lock(mutex);
    recorded << event;
}

} // namespace koTest
