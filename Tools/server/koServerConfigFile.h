#pragma once

#include <QMap>
#include <QString>

// The --config file of kosession-server: one "key=value" line per option,
// blank lines, and lines that start with ';' or '#' as comments. A value is
// taken as written, blanks around it aside: "password=a;b" is "a;b", quotes
// stay quotes. A line without '=' (a bare "keep-running") and a key given
// twice are refused, so that nothing in the file is silently dropped.
class koServerConfigFile
{
public:
    // Reads `fileName` into `values`, keyed by option name. False with `error`
    // set, naming the file and the line, when it cannot be read or a line is
    // refused.
    static bool read(const QString& fileName, QMap<QString, QString>& values, QString& error);
};
