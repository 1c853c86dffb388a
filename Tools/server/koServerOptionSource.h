#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <memory>

// Where kosession-server's options come from: the command line, else the
// INI file given with --config, whose keys are the options' long names. The
// command line wins over the file.
class koServerOptionSource
{
public:
    explicit koServerOptionSource(const QCommandLineParser& parser);

    // Reads `fileName` as the INI file behind the command line. False with
    // `error` set when it cannot be read or holds a key that is not one of
    // `knownKeys`.
    bool load(const QString& fileName, const QStringList& knownKeys, QString& error);

    bool isSet(const QCommandLineOption& option) const;
    QString value(const QCommandLineOption& option) const;
    // A switch: given on the command line, or "true"/"false" (also yes/no,
    // 1/0) in the file. False with `error` set for any other text.
    bool isOn(const QCommandLineOption& option, bool& on, QString& error) const;

private:
    static QString keyOf(const QCommandLineOption& option);

    const QCommandLineParser& parser;
    std::unique_ptr<QSettings> file;
};
