#include "koServerConfigFile.h"

#include <QFile>
#include <QStringList>

bool koServerConfigFile::read(const QString& fileName, QMap<QString, QString>& values, QString& error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the config file '%1': %2; check the path and that this user may "
                               "read it")
                    .arg(fileName, file.errorString());
        return false;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (int index = 0; index < lines.size(); ++index) {
        const QString line = lines[index].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        const QString where = QStringLiteral("line %1 of the config file '%2'").arg(index + 1).arg(fileName);
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            error = QStringLiteral("%1 ('%2') has no '=': write option=value, such as keep-running=true")
                        .arg(where, line);
            return false;
        }
        const QString key = line.left(equals).trimmed();
        if (values.contains(key)) {
            error = QStringLiteral("%1 gives '%2' a second time; keep one of the two").arg(where, key);
            return false;
        }
        values.insert(key, line.mid(equals + 1).trimmed());
    }
    return true;
}
