#pragma once

#include <QString>

#include <utility>
#include <vector>

// The figures of a run: rows grouped by scenario, printed as one table per
// scenario and written as JSON ({"scenarios": {"<name>": [ {...}, ... ]}}).
class koBenchReport
{
public:
    struct Row
    {
        QString label;
        std::vector<std::pair<QString, double>> values; // printed in this order
        QString note;
    };

    void add(const QString& scenario, Row row);
    void setCommand(const QString& commandLine);
    // One table per scenario, in the order scenarios were first added.
    void print() const;
    // Throws std::runtime_error when the file cannot be written.
    void writeJson(const QString& path) const;

private:
    QString command;
    std::vector<std::pair<QString, std::vector<Row>>> scenarios;
};
