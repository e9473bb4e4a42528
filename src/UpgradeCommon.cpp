// SPDX-License-Identifier: MIT
#include "UpgradeCommon.h"

#include "FileReplacement.h"
#include "ProcessTable.h"

#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TReadyFile::TReadyFile(const QString& filePath, QObject* parent)
    : QObject(parent)
    , path(filePath)
{
}

TReadyFile::TReadyFile(const TReadyFile& other)
    : QObject(other.parent())
    , path(other.path)
    , modifiedTime(other.modifiedTime)
    , sha256(other.sha256)
    , verifiedSource(other.verifiedSource)
{
}

TReadyFile& TReadyFile::operator=(const TReadyFile& other)
{
    path = other.path;
    modifiedTime = other.modifiedTime;
    sha256 = other.sha256;
    verifiedSource = other.verifiedSource;
    return *this;
}

TReadyFile::~TReadyFile() = default;

void TReadyFile::stopProcesses()
{
    TTerminated terminated
        = terminateProcesses(QFileInfo(path).fileName(), QStringLiteral("/proc"));
    if (terminated.count() > 0) {
        // The wait ends as soon as every process signalled has ended; one that ignores the signal
        // costs one second, as the line says.
        logLine("Warning: just kill the process, sleep 1 second");
        terminated.waitForEnd(std::chrono::seconds(1));
    }
}

namespace {

QString outsideHome(const QString& path)
{
    return QLatin1Char('\'') + path + QLatin1String("' is outside the home directory");
}

QString outsideArrival(const QString& path)
{
    return QLatin1Char('\'') + path + QLatin1String("' is outside the new-arrival directory");
}

} // namespace

// Looks at the new file without following a link. Anything but a regular file is refused before
// anything happens; a new file that is not there is reported by the caller, after the stop step.
QString TReadyFile::findNewFile(
    const THomePath& arrival, TFileAt& at, struct stat& st, bool& exists) const
{
    exists = false;
    if (!arrival.isInsideHome())
        return outsideArrival(path);
    int error = 0;
    const TPlace place = arrival.openAt(false, at, error);
    if (place == TPlace::Outside)
        return outsideArrival(path);
    exists = place == TPlace::Ok
        && ::fstatat(at.dir.fd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return QLatin1Char('\'') + arrival.target() + QLatin1String("' is not a regular file");
    return QString();
}

// Makes the target's directory where it is missing (with |create|) and looks at the target
// without following a link: a link there is replaced as a link, an installed directory is
// refused. Without |create| a missing directory holds no target yet.
QString TReadyFile::findTarget(const THomePath& place, bool create, TFileAt& at, bool& exists) const
{
    int error = 0;
    exists = false;
    const TPlace found
        = place.openAt(create ? THomePath::TDirs::Make : THomePath::TDirs::Plan, at, error);
    if (found == TPlace::Outside)
        return outsideHome(path);
    if (found != TPlace::Ok && (create || found != TPlace::Missing))
        return QStringLiteral("create directory '%1' failed").arg(place.targetDir());
    const QString isDirectory
        = QLatin1Char('\'') + place.target() + QLatin1String("' is a directory");
    if (place.nameIsDirectory())
        return isDirectory;
    struct stat st { };
    if (found != TPlace::Ok)
        return QString();
    if (::fstatat(at.dir.fd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // What cannot be looked at is taken as there: the backup step then reports it.
        exists = errno != ENOENT;
        return QString();
    }
    exists = true;
    return S_ISDIR(st.st_mode) ? isDirectory : QString();
}

namespace {

// The refusals that the path's text alone decides.
QString lexicalRefusal(const QString& path, const THomePath& place)
{
    if (path.isEmpty())
        return QStringLiteral("file path is empty");
    // The system calls would end the name at the NUL and so act on another file.
    if (path.contains(QChar(0)))
        return QLatin1Char('\'') + path + QLatin1String("' holds a NUL character");
    if (!place.isInsideHome())
        return outsideHome(path);
    return QString();
}

} // namespace

TFilePlan TReadyFile::plan(const QString& newFileLoc, const QString& homeDir, bool create) const
{
    TFilePlan plan;
    TReplacement& r = plan.replacement;
    const THomePath place(homeDir, path), arrival(newFileLoc, path);
    r.source = arrival.target();
    r.target = place.target();
    r.homeDir = homeDir;
    plan.refusal = lexicalRefusal(path, place);
    if (!plan.refusal.isEmpty())
        return plan;
    bool sourceExists = false;
    plan.refusal = findNewFile(arrival, r.sourceAt, r.sourceStat, sourceExists);
    if (plan.refusal.isEmpty())
        plan.refusal = findTarget(place, create, r.targetAt, r.targetExists);
    if (!plan.refusal.isEmpty())
        return plan;
    // The processes are stopped even if the new file turns out to be missing: the caller asked
    // for this file to be replaced.
    plan.stops = place.isStoppable();
    plan.sourceMissing = !sourceExists;
    if (plan.sourceMissing)
        plan.refusal = QLatin1Char('\'') + r.source + QLatin1String("' not exists");
    r.executable = place.isExecutable();
    r.modifiedTime = modifiedTime;
    r.verifiedSource = verifiedSource;
    return plan;
}

QString TReadyFile::carryOut(TFilePlan& plan, bool keepBackup, const TFileId& ownBackup)
{
    if (!plan.refusal.isEmpty() && !plan.sourceMissing)
        return plan.refusal;
    if (plan.stops)
        stopProcesses();
    TReplacement& r = plan.replacement;
    r.keepBackup = keepBackup;
    r.ownBackup = ownBackup;
    if (plan.sourceMissing) {
        dropBackupOfLandedFile(r);
        return plan.refusal;
    }
    return replaceFile(r);
}

QString TReadyFile::deploy(
    const QString& newFileLoc, const QString& homeDir, bool keepBackup, const TFileId& ownBackup)
{
    TFilePlan planned = plan(newFileLoc, homeDir, true);
    return carryOut(planned, keepBackup, ownBackup);
}

TRemovalPlan TReadyFile::planRemoval(const QString& homeDir) const
{
    TRemovalPlan plan;
    const THomePath place(homeDir, path);
    if (path.isEmpty() || !place.isInsideHome())
        return plan;
    int error = 0;
    const TPlace found = place.openAt(false, plan.at, error);
    // Nothing outside the home directory is touched, not even the processes of a file there.
    if (found == TPlace::Outside)
        return plan;
    plan.stops = place.isStoppable();
    plan.confined = found == TPlace::Ok && !place.nameIsDirectory();
    return plan;
}

bool TReadyFile::removeWithKill(const QString& homeDir)
{
    const TRemovalPlan plan = planRemoval(homeDir);
    if (plan.stops)
        stopProcesses();
    // unlinkat removes a link itself, never what it points at, and refuses a directory.
    return plan.confined && ::unlinkat(plan.at.dir.fd, plan.at.name.constData(), 0) == 0;
}

int TReadyFile::terminate(const QString& filePath)
{
    return terminate(filePath, QStringLiteral("/proc"));
}

int TReadyFile::terminate(const QString& filePath, const QString& procRoot)
{
    return terminateProcesses(QFileInfo(filePath).fileName(), procRoot).count();
}
