#pragma once

#include "koSessionServerParticipant.h"
#include "koSessionServerStatistics.h"

#include <QByteArray>

#include <vector>

// The bodies of the status endpoint's answers.
class koServerStatusReport
{
public:
    // Prometheus text exposition: one gauge of participants, counters for the rest.
    static QByteArray metrics(const koSessionServerStatistics& statistics);
    // {"participants":[{"id","name","colour","device","address","joinedSince"}, ...]}
    static QByteArray status(const std::vector<koSessionServerParticipant>& participants);
};
