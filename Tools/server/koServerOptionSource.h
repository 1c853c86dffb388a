#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QMap>
#include <QString>
#include <QStringList>

// Where kosession-server's options come from: the command line, else the
// INI file given with --config, whose keys are the options' long names. The
// command line wins over the file.
class koServerOptionSource
{
public:
    explicit koServerOptionSource(const QCommandLineParser& parser);

    // Reads `fileName` as the INI file behind the command line. False with
    // `error` set when it cannot be read, has a line without '=' or holds a
    // key that is not one of `knownKeys`.
    bool load(const QString& fileName, const QStringList& knownKeys, QString& error);

    bool isSet(const QCommandLineOption& option) const;
    QString value(const QCommandLineOption& option) const;
    // A switch: given on the command line, or "true"/"false" (also yes/no,
    // 1/0) in the file. False with `error` set for any other text.
    bool isOn(const QCommandLineOption& option, bool& on, QString& error) const;

private:
    static QString keyOf(const QCommandLineOption& option);

    const QCommandLineParser& parser;
    // The file's values by key; empty without a file.
    QMap<QString, QString> file;
};
