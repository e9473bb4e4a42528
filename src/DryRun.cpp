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

#include <fcntl.h>
#include <sys/stat.h>

namespace {

void checkLine(const QByteArray& text) { logLine("Check: " + text); }

QByteArray quoted(const QString& path) { return '\'' + logText(path) + '\''; }

void checkStops(const QString& target)
{
    bool ok = true;
    const QList<TProcess> processes
        = findProcesses(QFileInfo(target).fileName(), QStringLiteral("/proc"), ok);
    for (const TProcess& process : processes)
        checkLine("stop " + logText(process.name) + '(' + QByteArray::number(process.pid) + ')');
}

// The time the installed file will really have: the described one as its file system holds it,
// or the new file's own.
QDateTime plannedTime(const TReplacement& r)
{
    if (!r.modifiedTime.isValid())
        return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(r.sourceStat.st_mtime));
    if (r.targetAt.dir.fd < 0)
        return r.modifiedTime;
    return storedTime(r.targetAt.dir.fd, r.targetAt.dir.device, r.modifiedTime);
}

void checkMove(const TReplacement& r)
{
    const mode_t mode = r.executable ? 0775 : r.sourceStat.st_mode & 07777;
    const bool replaces = r.targetExists;
    checkLine((replaces ? "replace " : "install ") + quoted(r.target)
        + (replaces ? " with " : " from ") + quoted(r.source) + ", mode "
        + QByteArray::number(static_cast<uint>(mode), 8).rightJustified(4, '0') + ", time "
        + plannedTime(r).toString(description::timeFormat).toLatin1());
}

void checkFile(
    const TReadyFile& file, bool inPlace, const QString& newFileLoc, const QString& homeDir)
{
    if (inPlace) {
        checkLine("keep " + quoted(THomePath(homeDir, file.path).target()) + ", already in place");
        return;
    }
    const TFilePlan plan = file.plan(newFileLoc, homeDir, false);
    if (plan.stops)
        checkStops(plan.replacement.target);
    if (plan.refusal.isEmpty())
        checkMove(plan.replacement);
    else
        checkLine("fail: " + logText(plan.refusal));
}

// What unlinkat will find at a removal's name: something that is no directory.
bool removable(const TFileAt& at)
{
    struct stat st { };
    return ::fstatat(at.dir.fd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISDIR(st.st_mode);
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
        const TRemovalPlan plan = TReadyFile(entry, nullptr).planRemoval(homeDir);
        const QString target = homeDir + QLatin1Char('/') + entry;
        if (plan.stops)
            checkStops(target);
        if (plan.confined && removable(plan.at))
            checkLine("remove " + quoted(target));
        else
            checkLine("fail: remove file " + quoted(target) + " failed");
    }
}

void checkRemoveStateFile(const QString& homeDir, const QString& relPath)
{
    const THomePath place(homeDir, relPath);
    TFileAt at;
    struct stat st { };
    int error = 0;
    const TPlace found = place.lookAt(at, st, error);
    if (found == TPlace::Ok && !S_ISDIR(st.st_mode))
        checkLine("remove " + quoted(place.target()));
    else if (found != TPlace::Missing)
        checkLine("fail: remove file " + quoted(place.target()) + " failed");
}

void checkRemoveIfExists(const QString& path)
{
    struct stat st { };
    // The description is removed as a link when it is one, as QFile::remove does.
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
        checkLine("remove " + quoted(path));
}
