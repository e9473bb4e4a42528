// SPDX-License-Identifier: MIT
#include "FileReplacement.h"

#include "RunLog.h"

#include <QFile>

#include <utime.h>

namespace {

const QFile::Permissions executablePermissions = QFile::ReadOwner | QFile::WriteOwner
    | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup
    | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

} // namespace

bool setFileTime(const QString& filePath, const QDateTime& modifiedTime)
{
    utimbuf times;
    times.actime = static_cast<time_t>(QDateTime::currentDateTime().toSecsSinceEpoch());
    times.modtime = static_cast<time_t>(modifiedTime.toSecsSinceEpoch());
    return utime(filePath.toUtf8().constData(), &times) == 0;
}

QString replaceFile(const TReplacement& r)
{
    const QString& source = r.source;
    const QString& target = r.target;
    const QString backup = target + QLatin1String(".tmp");

    bool backedUp = false;
    if (QFile::exists(target)) {
        if (QFile::exists(backup) && !QFile::remove(backup))
            return QLatin1String("remove '") + target + QLatin1String(".tmp' failed");
        if (!QFile::rename(target, backup))
            return QLatin1String("move'") + target + QLatin1String("' to '.tmp' failed");
        backedUp = true;
    }
    // Now the installed file, if there was one, is at the backup path and the target path is
    // free for the new file.
    if (!QFile::rename(source, target)) {
        // Put the installed file back so that the device keeps a working one; if even that
        // fails, the backup stays where it is for the next deployment to recover from.
        if (backedUp)
            QFile::rename(backup, target);
        return QLatin1String("move '") + source + QLatin1String("' to '") + r.homeDir
            + QLatin1String("' failed");
    }
    // The new file is in place; the old one may still be at the backup path.
    if (r.executable && !QFile::setPermissions(target, executablePermissions))
        return QLatin1String("add execution permission to '") + target + QLatin1String("' failed");

    // This also drops a backup left behind by an earlier, interrupted deployment.
    if (QFile::exists(backup) && !QFile::remove(backup))
        logLine("Warning: remove '" + target.toUtf8() + ".tmp' failed");

    if (r.modifiedTime.isValid() && !setFileTime(target, r.modifiedTime))
        logLine("Warning: change file '" + target.toUtf8() + "' last modification time failed");
    return QString();
}
