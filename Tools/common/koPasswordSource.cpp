#include "koPasswordSource.h"

#include <QFile>

bool koPasswordSource::read(const std::optional<QString>& given, const std::optional<QString>& fileName,
                            QString& error)
{
    if (given) {
        password = *given;
        origin = QStringLiteral("--password");
    } else if (fileName) {
        if (!readFile(*fileName, error))
            return false;
        origin = QStringLiteral("--password-file");
    } else {
        password = qEnvironmentVariable(Variable);
        origin = QString::fromLatin1(Variable);
    }
    if (password.isEmpty())
        origin.clear();
    return true;
}

bool koPasswordSource::readFile(const QString& fileName, QString& error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the password file '%1': %2; make it readable for this user, or give "
                               "the password in %3")
                    .arg(fileName, file.errorString(), QLatin1String(Variable));
        return false;
    }
    password = QString::fromUtf8(file.readAll());
    // Editors and `echo` end the file with a line end that is not part of it.
    if (password.endsWith(QLatin1Char('\n')))
        password.chop(password.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    if (password.isEmpty()) {
        error = QStringLiteral("the password file '%1' is empty; write the password into it").arg(fileName);
        return false;
    }
    return true;
}
