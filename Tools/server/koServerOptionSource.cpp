#include "koServerOptionSource.h"

#include "koServerConfigFile.h"

koServerOptionSource::koServerOptionSource(const QCommandLineParser& parser)
    : parser(parser)
{
}

bool koServerOptionSource::load(const QString& fileName, const QStringList& knownKeys, QString& error)
{
    file.clear();
    if (!koServerConfigFile::read(fileName, file, error))
        return false;
    for (auto entry = file.cbegin(); entry != file.cend(); ++entry) {
        if (!knownKeys.contains(entry.key())) {
            error = QStringLiteral("unknown key '%1' in the config file '%2'; the keys are: %3")
                        .arg(entry.key(), fileName, knownKeys.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

bool koServerOptionSource::isSet(const QCommandLineOption& option) const
{
    return parser.isSet(option) || file.contains(keyOf(option));
}

QString koServerOptionSource::value(const QCommandLineOption& option) const
{
    return parser.isSet(option) ? parser.value(option) : file.value(keyOf(option), parser.value(option));
}

bool koServerOptionSource::isOn(const QCommandLineOption& option, bool& on, QString& error) const
{
    on = parser.isSet(option);
    if (on || !file.contains(keyOf(option)))
        return true;
    const QString text = file.value(keyOf(option)).toLower();
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
