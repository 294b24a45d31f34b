#pragma once

#include <QString>

// "v1.1.0 Build 53 " and the like, from the version record in the executable file at
// path (see versionrecord.h); empty when there is none or the file cannot be read.
QString VersionString(const QString &path);
