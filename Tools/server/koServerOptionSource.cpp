#include "koServerOptionSource.h"

#include <QFile>

koServerOptionSource::koServerOptionSource(const QCommandLineParser& parser)
    : parser(parser)
{
}

bool koServerOptionSource::load(const QString& fileName, const QStringList& knownKeys, QString& error)
{
    // QSettings reads a missing or unreadable file as an empty one.
    QFile probe(fileName);
    if (!probe.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the config file '%1': %2; check the path and that this user may "
                               "read it")
                    .arg(fileName, probe.errorString());
        return false;
    }
    file = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
    if (file->status() != QSettings::NoError) {
        error = QStringLiteral("the config file '%1' is not in INI form (key=value lines)").arg(fileName);
        return false;
    }
    for (const QString& key : file->allKeys()) {
        if (!knownKeys.contains(key)) {
            error = QStringLiteral("unknown key '%1' in the config file '%2'; the keys are: %3")
                        .arg(key, fileName, knownKeys.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

bool koServerOptionSource::isSet(const QCommandLineOption& option) const
{
    return parser.isSet(option) || (file && file->contains(keyOf(option)));
}

QString koServerOptionSource::value(const QCommandLineOption& option) const
{
    if (parser.isSet(option) || !file)
        return parser.value(option);
    // INI reads an unquoted "a,b" as a list; the option wants the text back.
    const QVariant text = file->value(keyOf(option));
    return text.type() == QVariant::StringList ? text.toStringList().join(QLatin1Char(',')) : text.toString();
}

bool koServerOptionSource::isOn(const QCommandLineOption& option, bool& on, QString& error) const
{
    on = parser.isSet(option);
    if (on || !file || !file->contains(keyOf(option)))
        return true;
    const QString text = file->value(keyOf(option)).toString().trimmed().toLower();
    const QStringList yes{QStringLiteral("true"), QStringLiteral("yes"), QStringLiteral("1")};
    const QStringList no{QStringLiteral("false"), QStringLiteral("no"), QStringLiteral("0")};
    on = yes.contains(text);
    if (on || no.contains(text))
        return true;
    error = QStringLiteral("'%1' in the config file needs true or false, not '%2'").arg(keyOf(option), text);
    return false;
}

// The long name: "keep-running" for -k/--keep-running.
QString koServerOptionSource::keyOf(const QCommandLineOption& option)
{
    return option.names().last();
}
