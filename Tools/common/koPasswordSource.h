#pragma once

#include <QString>

#include <optional>

// Where a program takes the session password from: --password, else
// --password-file, else the environment variable KOSESSION_PASSWORD. The
// more deliberate and the more local a source, the higher it ranks; the
// command line is the last resort in practice, since `ps` shows it.
class koPasswordSource
{
public:
    static constexpr const char* Variable = "KOSESSION_PASSWORD";

    // Takes the password from `given` (--password), else from the file
    // `fileName` (--password-file), else from the environment; an empty
    // optional is an option that was not given. False with `error` set when
    // the file cannot be read or is empty.
    bool read(const std::optional<QString>& given, const std::optional<QString>& fileName, QString& error);

    const QString& getPassword() const { return password; }
    // The source as the user names it ("--password", "--password-file",
    // "KOSESSION_PASSWORD"); empty when there is no password.
    const QString& getOrigin() const { return origin; }

private:
    bool readFile(const QString& fileName, QString& error);

    QString password;
    QString origin;
};
