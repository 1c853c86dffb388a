#include "koServerStatusReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

void addMetric(QByteArray& text, const char* name, const char* type, const char* help, std::uint64_t value)
{
    text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name + ' '
        + QByteArray::number(static_cast<qulonglong>(value)) + '\n';
}

QJsonObject participantObject(const koSessionServerParticipant& participant)
{
    const koSessionUser& user = participant.user;
    const qint64 joined =
        std::chrono::duration_cast<std::chrono::milliseconds>(participant.joined.time_since_epoch()).count();
    return QJsonObject{
        {QStringLiteral("id"), int(user.getId())},
        {QStringLiteral("name"), user.getName()},
        {QStringLiteral("colour"), user.getColor().name()},
        {QStringLiteral("device"), user.getDeviceName()},
        {QStringLiteral("address"), QString::fromStdString(participant.address)},
        {QStringLiteral("joinedSince"), QDateTime::fromMSecsSinceEpoch(joined, Qt::UTC).toString(Qt::ISODate)},
    };
}

} // namespace

QByteArray koServerStatusReport::metrics(const koSessionServerStatistics& statistics)
{
    QByteArray text;
    addMetric(text, "kosession_participants", "gauge", "Participants in the session now.", statistics.participants);
    addMetric(text, "kosession_joins_total", "counter", "Participants admitted.", statistics.joins);
    addMetric(text, "kosession_leaves_total", "counter", "Participants that left.", statistics.leaves);
    addMetric(text, "kosession_refused_connections_total", "counter",
              "Connections closed before admission (bounds, another session or version, failed handshakes).",
              statistics.refusedConnections);
    addMetric(text, "kosession_changes_relayed_total", "counter", "Changes received from participants and relayed.",
              statistics.changesRelayed);
    addMetric(text, "kosession_relayed_bytes_total", "counter", "Bytes of the relayed changes.",
              statistics.bytesRelayed);
    addMetric(text, "kosession_scene_bytes_total", "counter", "Scene bytes uploaded and downloaded.",
              statistics.sceneBytes);
    addMetric(text, "kosession_uptime_seconds_total", "counter", "Seconds since the session started.",
              static_cast<std::uint64_t>(statistics.uptime.count()));
    return text;
}

QByteArray koServerStatusReport::status(const std::vector<koSessionServerParticipant>& participants)
{
    QJsonArray list;
    for (const koSessionServerParticipant& participant : participants)
        list.append(participantObject(participant));
    return QJsonDocument(QJsonObject{{QStringLiteral("participants"), list}}).toJson(QJsonDocument::Indented);
}
