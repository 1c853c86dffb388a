#include "koSessionVersionError.h"

koSessionVersionError::koSessionVersionError(const QString& version, const QStringList& userNames)
    : koNetError("Incompatible kova version connected"), version(version), userNames(userNames)
{
}

koSessionVersionError::koSessionVersionError(const koSessionVersionError& other) = default;
koSessionVersionError& koSessionVersionError::operator=(const koSessionVersionError& other) = default;
koSessionVersionError::~koSessionVersionError() = default;

const QString& koSessionVersionError::getVersion() const
{
    return version;
}

const QStringList& koSessionVersionError::getUserNames() const
{
    return userNames;
}
