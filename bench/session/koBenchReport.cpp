#include "koBenchReport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

QString formatValue(double value)
{
    if (value != 0.0 && (std::abs(value) >= 1e6 || std::abs(value) < 0.01))
        return QString::number(value, 'g', 4);
    return QString::number(value, 'f', std::abs(value) >= 100.0 ? 0 : 2);
}

} // namespace

void koBenchReport::add(const QString& scenario, Row row)
{
    auto found = std::find_if(scenarios.begin(), scenarios.end(),
                              [&](const auto& entry) { return entry.first == scenario; });
    if (found == scenarios.end()) {
        scenarios.emplace_back(scenario, std::vector<Row>());
        found = scenarios.end() - 1;
    }
    found->second.push_back(std::move(row));
}

void koBenchReport::setCommand(const QString& commandLine)
{
    command = commandLine;
}

void koBenchReport::print() const
{
    std::printf("%s\n", qPrintable(command));
    for (const auto& scenario : scenarios) {
        const std::vector<Row>& rows = scenario.second;
        // Columns: the label, then every value name in order of first use.
        std::vector<QString> names;
        for (const Row& row : rows) {
            for (const auto& value : row.values) {
                if (std::find(names.begin(), names.end(), value.first) == names.end())
                    names.push_back(value.first);
            }
        }
        std::vector<std::vector<QString>> cells(rows.size() + 1);
        cells[0].push_back(QStringLiteral("case"));
        for (const QString& name : names)
            cells[0].push_back(name);
        for (std::size_t r = 0; r < rows.size(); ++r) {
            cells[r + 1].push_back(rows[r].label);
            for (const QString& name : names) {
                const auto found = std::find_if(rows[r].values.begin(), rows[r].values.end(),
                                                [&](const auto& value) { return value.first == name; });
                cells[r + 1].push_back(found == rows[r].values.end() ? QStringLiteral("-")
                                                                     : formatValue(found->second));
            }
        }
        std::vector<int> widths(names.size() + 1, 0);
        for (const auto& line : cells) {
            for (std::size_t c = 0; c < line.size(); ++c)
                widths[c] = std::max(widths[c], line[c].size());
        }
        std::printf("\n[%s]\n", qPrintable(scenario.first));
        for (std::size_t r = 0; r < cells.size(); ++r) {
            QString text;
            for (std::size_t c = 0; c < cells[r].size(); ++c)
                text += (c == 0 ? cells[r][c].leftJustified(widths[c]) : cells[r][c].rightJustified(widths[c] + 2));
            if (r > 0 && !rows[r - 1].note.isEmpty())
                text += QStringLiteral("  ") + rows[r - 1].note;
            std::printf("%s\n", qPrintable(text));
        }
    }
    std::fflush(stdout);
}

void koBenchReport::writeJson(const QString& path) const
{
    QJsonObject all;
    for (const auto& scenario : scenarios) {
        QJsonArray rows;
        for (const Row& row : scenario.second) {
            QJsonObject object;
            object.insert(QStringLiteral("case"), row.label);
            for (const auto& value : row.values)
                object.insert(value.first, value.second);
            if (!row.note.isEmpty())
                object.insert(QStringLiteral("note"), row.note);
            rows.append(object);
        }
        all.insert(scenario.first, rows);
    }
    QJsonObject root;
    root.insert(QStringLiteral("command"), command);
    root.insert(QStringLiteral("scenarios"), all);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(QJsonDocument(root).toJson()) < 0)
        throw std::runtime_error("cannot write " + path.toStdString());
}
