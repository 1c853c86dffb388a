// kosession-bench: end-to-end figures of the whole session system over
// loopback with the real cipher: push-to-execute latency, relay throughput,
// poses all-to-all, scene transfer and the server's memory. The server runs
// as a child process (kosession-server beside this program), so its CPU time
// and resident memory are its own; the participants run in this process.
#include "koBenchReport.h"
#include "koBenchScenarios.h"

#include "koLog.h"
#include "koSession.h"
#include "koSessionClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>

namespace {

struct Run
{
    koBenchSettings settings;
    QStringList scenarios;
    QString json;
};

const QStringList AllScenarios = {QStringLiteral("latency"), QStringLiteral("relay"), QStringLiteral("poses"),
                                  QStringLiteral("scene"), QStringLiteral("memory")};

bool parse(const QStringList& arguments, Run& run)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "End-to-end benchmark of koSession: a kosession-server child process and participants in this\n"
        "process, over loopback with the real cipher. Prints one table per scenario."));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
                                            QStringLiteral("latency, relay, poses, scene, memory or all (default)."),
                                            QStringLiteral("name"), QStringLiteral("all"));
    const QCommandLineOption quickOption(QStringLiteral("quick"),
                                         QStringLiteral("A fast smoke run: fewer participants, short runs, a small scene."));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Also write the figures as JSON."),
                                        QStringLiteral("file"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Run time of each relay measurement (default 10)."),
                                           QStringLiteral("seconds"));
    const QCommandLineOption sceneOption(QStringLiteral("scene-mib"),
                                         QStringLiteral("Scene size in MiB (default 1024)."), QStringLiteral("MiB"));
    const QCommandLineOption serverOption(QStringLiteral("server"),
                                          QStringLiteral("The kosession-server program (default: beside this one)."),
                                          QStringLiteral("path"));
    const QCommandLineOption haproxyOption(
        QStringLiteral("via-haproxy"),
        QStringLiteral("Participants reach each server through a HAProxy with deploy/haproxy/kosession.cfg; "
                       "run once without to compare."));
    parser.addOptions({scenarioOption, quickOption, jsonOption, secondsOption, sceneOption, serverOption, haproxyOption});
    parser.process(arguments);

    koBenchSettings& settings = run.settings;
    settings.quick = parser.isSet(quickOption);
    if (settings.quick) {
        settings.seconds = 2.0;
        settings.latencySeconds = 2.0;
        settings.sceneMiB = 32;
    }
    bool ok = true;
    if (parser.isSet(secondsOption))
        settings.seconds = parser.value(secondsOption).toDouble(&ok);
    if (!ok || settings.seconds <= 0.0) {
        std::fprintf(stderr, "kosession-bench: --seconds takes a positive number\n");
        return false;
    }
    if (parser.isSet(sceneOption))
        settings.sceneMiB = parser.value(sceneOption).toInt(&ok);
    if (!ok || settings.sceneMiB <= 0) {
        std::fprintf(stderr, "kosession-bench: --scene-mib takes a positive number\n");
        return false;
    }
    settings.serverProgram = parser.isSet(serverOption)
        ? parser.value(serverOption)
        : QCoreApplication::applicationDirPath() + QStringLiteral("/kosession-server");
    if (!QFileInfo(settings.serverProgram).isExecutable()) {
        std::fprintf(stderr, "kosession-bench: no server program at %s\n", qPrintable(settings.serverProgram));
        return false;
    }
    if (parser.isSet(haproxyOption))
        settings.haproxyConfig = QStringLiteral(KOSESSION_HAPROXY_CONFIG);
    const QString scenario = parser.value(scenarioOption);
    if (scenario == QStringLiteral("all")) {
        run.scenarios = AllScenarios;
    } else if (AllScenarios.contains(scenario)) {
        run.scenarios = QStringList{scenario};
    } else {
        std::fprintf(stderr, "kosession-bench: unknown scenario '%s'\n", qPrintable(scenario));
        return false;
    }
    run.json = parser.value(jsonOption);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kosession-bench"));
    Run run;
    if (!parse(QCoreApplication::arguments(), run))
        return 2;
    // A participant whose server already left must not end the bench.
    std::signal(SIGPIPE, SIG_IGN);
    koLog::setSink([](koLog::Level level, const std::string& line) {
        if (level != koLog::Level::Info)
            std::fprintf(stderr, "koSession: %s\n", line.c_str());
    });
    koSession::the();
    koSessionClient::setSceneQuestion([] { return false; });

    const std::map<QString, std::function<void(const koBenchSettings&, koBenchReport&)>> scenarios = {
        {QStringLiteral("latency"), koBenchScenarios::latency},
        {QStringLiteral("relay"), koBenchScenarios::relay},
        {QStringLiteral("poses"), koBenchScenarios::poses},
        {QStringLiteral("scene"), koBenchScenarios::scene},
        {QStringLiteral("memory"), koBenchScenarios::memory}};
    koBenchReport report;
    report.setCommand(QCoreApplication::arguments().join(QLatin1Char(' ')));
    int status = 0;
    for (const QString& name : run.scenarios) {
        std::fprintf(stderr, "kosession-bench: running %s ...\n", qPrintable(name));
        try {
            scenarios.at(name)(run.settings, report);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kosession-bench: %s failed: %s\n", qPrintable(name), e.what());
            status = 1;
        }
    }
    report.print();
    if (!run.json.isEmpty()) {
        try {
            report.writeJson(run.json);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kosession-bench: %s\n", e.what());
            status = 1;
        }
    }
    return status;
}
