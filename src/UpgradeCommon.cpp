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

bool TReadyFile::changeFileTime(const QString& filePath)
{
    return setFileTime(filePath, modifiedTime);
}

void TReadyFile::stopProcesses()
{
    TTerminated terminated
        = terminateProcesses(QFileInfo(path).fileName(), QStringLiteral("/proc"));
    if (terminated.count() > 0) {
        // The line keeps its words, but the wait ends as soon as every process signalled has
        // ended; one that ignores the signal costs one second, as the fixed sleep did.
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
    const THomePath& arrival, TFileAt& at, struct stat& st, bool& exists)
{
    exists = false;
    if (!arrival.isInsideHome())
        return outsideArrival(path);
    int error = 0;
    const TPlace place = arrival.openDir(false, at.dir, error);
    if (place == TPlace::Outside)
        return outsideArrival(path);
    at.name = arrival.name();
    exists = place == TPlace::Ok
        && ::fstatat(at.dir.fd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return QLatin1Char('\'') + arrival.target() + QLatin1String("' is not a regular file");
    return QString();
}

// Makes the target's directory where it is missing and looks at the target without following a
// link: a link there is replaced as a link, an installed directory is refused.
QString TReadyFile::findTarget(const THomePath& place, TFileAt& at, bool& exists)
{
    int error = 0;
    const TPlace found = place.openDir(true, at.dir, error);
    if (found == TPlace::Outside)
        return outsideHome(path);
    if (found != TPlace::Ok)
        return QStringLiteral("create directory '%1' failed").arg(place.targetDir());
    at.name = place.name();
    const QString isDirectory
        = QLatin1Char('\'') + place.target() + QLatin1String("' is a directory");
    if (place.nameIsDirectory())
        return isDirectory;
    struct stat st { };
    if (::fstatat(at.dir.fd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // What cannot be looked at is taken as there: the backup step then reports it.
        exists = errno != ENOENT;
        return QString();
    }
    exists = true;
    return S_ISDIR(st.st_mode) ? isDirectory : QString();
}

QString TReadyFile::deploy(
    const QString& newFileLoc, const QString& homeDir, bool keepBackup, const TFileId& ownBackup)
{
    if (path.isEmpty())
        return QStringLiteral("file path is empty");
    // The system calls would end the name at the NUL and so act on another file.
    if (path.contains(QChar(0)))
        return QLatin1Char('\'') + path + QLatin1String("' holds a NUL character");
    const THomePath place(homeDir, path);
    if (!place.isInsideHome())
        return outsideHome(path);
    const THomePath arrival(newFileLoc, path);
    TReplacement r;
    bool sourceExists = false;
    QString error = findNewFile(arrival, r.sourceAt, r.sourceStat, sourceExists);
    if (error.isEmpty())
        error = findTarget(place, r.targetAt, r.targetExists);
    if (!error.isEmpty())
        return error;

    // Stop the processes first, even if the new file turns out to be missing: the caller asked
    // for this file to be replaced.
    if (place.isStoppable())
        stopProcesses();

    r.source = arrival.target();
    r.target = place.target();
    r.keepBackup = keepBackup;
    r.ownBackup = ownBackup;
    r.verifiedSource = verifiedSource;
    if (!sourceExists) {
        dropBackupOfLandedFile(r);
        return QLatin1Char('\'') + r.source + QLatin1String("' not exists");
    }
    r.homeDir = homeDir;
    r.executable = place.isExecutable();
    r.modifiedTime = modifiedTime;
    return replaceFile(r);
}

bool TReadyFile::removeWithKill(const QString& homeDir)
{
    if (path.isEmpty())
        return false;
    const THomePath place(homeDir, path);
    if (!place.isInsideHome())
        return false;
    TDirAt dir;
    int error = 0;
    const TPlace found = place.openDir(false, dir, error);
    // Nothing outside the home directory is touched, not even the processes of a file there.
    if (found == TPlace::Outside)
        return false;
    if (place.isStoppable())
        stopProcesses();
    // unlinkat removes a link itself, never what it points at, and refuses a directory.
    return found == TPlace::Ok && !place.nameIsDirectory()
        && ::unlinkat(dir.fd, place.name().constData(), 0) == 0;
}

int TReadyFile::terminate(const QString& filePath)
{
    return terminate(filePath, QStringLiteral("/proc"));
}

int TReadyFile::terminate(const QString& filePath, const QString& procRoot)
{
    return terminateProcesses(QFileInfo(filePath).fileName(), procRoot).count();
}
