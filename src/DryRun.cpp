// SPDX-License-Identifier: MIT
#include "DryRun.h"

#include "Description.h"
#include "FileTime.h"
#include "HomePath.h"
#include "ProcessTable.h"
#include "Room.h"
#include "RunLog.h"
#include "UpgradeCommon.h"
#include "Verify.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

void checkLine(const QByteArray& text) { logLine("Check: " + text); }

QByteArray quoted(const QString& path) { return '\'' + logText(path) + '\''; }

bool lstatOf(const QString& path, struct stat& st)
{
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

void checkStops(const THomePath& place)
{
    if (!place.isStoppable())
        return;
    bool ok = true;
    const QList<TProcess> processes
        = findProcesses(QFileInfo(place.target()).fileName(), QStringLiteral("/proc"), ok);
    for (const TProcess& process : processes)
        checkLine("stop " + logText(process.name) + '(' + QByteArray::number(process.pid) + ')');
}

// The text deploy() would return before it moves anything, or an empty one.
QString refusal(const TReadyFile& file, const THomePath& place, const QString& source)
{
    if (file.path.isEmpty())
        return QStringLiteral("file path is empty");
    if (!place.isInsideHome())
        return QLatin1Char('\'') + file.path + QLatin1String("' is outside the home directory");
    struct stat st { };
    if (!lstatOf(source, st))
        return QLatin1Char('\'') + source + QLatin1String("' not exists");
    if (!S_ISREG(st.st_mode))
        return QLatin1Char('\'') + source + QLatin1String("' is not a regular file");
    if (lstatOf(place.target(), st) && S_ISDIR(st.st_mode))
        return QLatin1Char('\'') + place.target() + QLatin1String("' is a directory");
    return QString();
}

// The time the installed file will really have: the described one as its file system holds it,
// or the new file's own.
QDateTime plannedTime(const TReadyFile& file, const THomePath& place, const struct stat& source)
{
    if (!file.modifiedTime.isValid())
        return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(source.st_mtime));
    TDirAt dir;
    int error = 0;
    if (place.openDir(false, dir, error) != TPlace::Ok)
        return file.modifiedTime;
    return storedTime(dir.fd, dir.device, file.modifiedTime);
}

void checkMove(const TReadyFile& file, const THomePath& place, const QString& source)
{
    struct stat st { };
    lstatOf(source, st);
    const mode_t mode = place.isExecutable() ? 0775 : st.st_mode & 07777;
    const QDateTime time = plannedTime(file, place, st);
    struct stat installed { };
    const bool replaces = lstatOf(place.target(), installed);
    checkLine((replaces ? "replace " : "install ") + quoted(place.target())
        + (replaces ? " with " : " from ") + quoted(source) + ", mode "
        + QByteArray::number(static_cast<uint>(mode), 8).rightJustified(4, '0') + ", time "
        + time.toString(description::timeFormat).toLatin1());
}

void checkFile(
    const TReadyFile& file, bool inPlace, const QString& newFileLoc, const QString& homeDir)
{
    const THomePath place(homeDir, file.path);
    if (inPlace) {
        checkLine("keep " + quoted(place.target()) + ", already in place");
        return;
    }
    const QString source = newFileLoc + QLatin1Char('/') + file.path;
    if (!file.path.isEmpty() && place.isInsideHome())
        checkStops(place);
    const QString refused = refusal(file, place, source);
    if (refused.isEmpty())
        checkMove(file, place, source);
    else
        checkLine("fail: " + logText(refused));
}

} // namespace

void checkDeploy(const QList<TReadyFile>& files, const TVerification& verification,
    const QString& newFileLoc, const QString& homeDir)
{
    for (int i = 0; i < files.size(); ++i)
        checkFile(files.at(i), verification.inPlace.contains(i), newFileLoc, homeDir);
}

void checkRoom(const TRoom& room)
{
    for (const TRoom::TFileSystem& fileSystem : room.fileSystems()) {
        const QByteArray figures = "need " + QByteArray::number(fileSystem.needed) + " bytes, "
            + QByteArray::number(fileSystem.available) + " available";
        checkLine("space on " + quoted(fileSystem.dir) + ": " + figures);
        if (fileSystem.needed > fileSystem.available)
            checkLine("fail: not enough space on " + quoted(fileSystem.dir) + ": " + figures);
    }
}

void checkRemovals(const QStringList& removeList, const QString& homeDir)
{
    for (const QString& entry : removeList) {
        const THomePath place(homeDir, entry);
        struct stat st { };
        const bool inside = !entry.isEmpty() && place.isInsideHome();
        if (inside)
            checkStops(place);
        if (inside && lstatOf(place.target(), st) && !S_ISDIR(st.st_mode))
            checkLine("remove " + quoted(place.target()));
        else
            checkLine(
                "fail: remove file " + quoted(homeDir + QLatin1Char('/') + entry) + " failed");
    }
}

void checkRemoveIfExists(const QString& path)
{
    if (QFile::exists(path))
        checkLine("remove " + quoted(path));
}
