#pragma once

// Records the facade's roster signals while it lives, as "added <id> <name>",
// "changed <id> <name>" and "removed <id>", in order. Any thread may raise
// them. `accept` (optional) decides on the raising thread whether a signal
// counts: every client of a process shares the one facade.

#include <QMetaObject>
#include <QStringList>

#include <functional>
#include <mutex>
#include <vector>

namespace koTest {

class RosterSignals
{
public:
    explicit RosterSignals(std::function<bool()> accept = std::function<bool()>());
    ~RosterSignals();
    RosterSignals(const RosterSignals&) = delete;
    RosterSignals& operator=(const RosterSignals&) = delete;

    QStringList events() const;
    // The events so far, forgetting them.
    QStringList take();

private:
    void add(const QString& event);

    const std::function<bool()> accept;
    // Guards recorded; taken by the slots (any thread) and the test's readers.
    mutable std::mutex mutex;
    QStringList recorded;
    std::vector<QMetaObject::Connection> connections;
};

} // namespace koTest
