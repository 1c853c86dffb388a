#pragma once

#include "koSessionExport.h"

#include "koNetError.h"

#include <QString>
#include <QStringList>

// Thrown by a join when the server runs another version. what() is always
// "Incompatible kova version connected"; the server's version text and the
// names of the participants already in the session come along so that the
// application can tell the user whom to ask. Copyable; caught as koNetError,
// std::runtime_error or std::exception as well.
class KOSESSION_EXPORT koSessionVersionError : public koNetError
{
public:
    koSessionVersionError(const QString& version, const QStringList& userNames);
    koSessionVersionError(const koSessionVersionError& other);
    koSessionVersionError& operator=(const koSessionVersionError& other);
    ~koSessionVersionError() override;

    // The server's display version text.
    const QString& getVersion() const;
    // The participants already admitted, in the server's roster order.
    const QStringList& getUserNames() const;

private:
    QString version;
    QStringList userNames;
};
