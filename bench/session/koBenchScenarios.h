#pragma once

#include <QString>

class koBenchReport;

struct koBenchSettings
{
    bool quick = false;
    double seconds = 10.0;      // relay run time
    double latencySeconds = 10.0; // latency and pose run time
    int sceneMiB = 1024;
    QString serverProgram;      // path of kosession-server
    QString haproxyConfig;      // --via-haproxy: HAProxy's configuration; empty: direct
};

// The end-to-end scenarios. Each starts its own server(s) and participants,
// adds its rows to the report and throws std::exception on a failure.
// Main thread.
namespace koBenchScenarios {

void latency(const koBenchSettings& settings, koBenchReport& report);
void relay(const koBenchSettings& settings, koBenchReport& report);
void poses(const koBenchSettings& settings, koBenchReport& report);
void scene(const koBenchSettings& settings, koBenchReport& report);
void memory(const koBenchSettings& settings, koBenchReport& report);

} // namespace koBenchScenarios
