// SPDX-License-Identifier: MIT
// How one file is replaced, and what is on disk at each step.
//
// The target path must hold the old file or the new one, whole, at every instant: the application
// is restarted by its keeper at any moment, and the device may lose power at any moment. So:
//   1. the new file gets its mode and time first (or, when it arrived on another file system, a
//      complete copy of it is made beside the target and flushed);
//   2. the installed file gets a second name, "<target>.tmp", by a hard link;
//   3. one rename(2) puts the new file at the target, replacing the old one atomically;
//   4. the backup name is dropped.
// Where the file system has no hard links, step 2 renames the installed file to the backup name
// instead, and the target is empty until step 3; a failed step 3 then puts the backup back.
//
// QFile::rename is not used: it refuses an existing destination, so the target would have to be
// emptied first, and where rename(2) fails it silently copies instead, opening the destination
// path for writing (through a link, if one stands there) and losing the mode. Every call here acts
// on a name in a directory that the caller confined (HomePath), and never follows that name.
#include "FileReplacement.h"

#include "Checksum.h"
#include "FileDescriptor.h"
#include "RunLog.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char copySuffix[] = ".upgrade-new";

QByteArray besideName(const QByteArray& name, const char* suffix)
{
    const int suffixSize = static_cast<int>(std::strlen(suffix));
    if (name.size() + suffixSize <= NAME_MAX)
        return name + suffix;
    // FNV-1a over the whole name: two long names that share their first bytes still get two
    // names here.
    quint64 hash = 14695981039346656037ULL;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    const QByteArray tag = '~' + QByteArray::number(hash, 16).rightJustified(16, '0');
    // Cut between two characters, never inside one: the name stays valid UTF-8 for the journal.
    int keep = NAME_MAX - suffixSize - tag.size();
    while (keep > 0 && (static_cast<unsigned char>(name.at(keep)) & 0xC0) == 0x80)
        --keep;
    return name.left(keep) + tag + suffix;
}

QByteArray backupNameOf(const QByteArray& name) { return besideName(name, ".tmp"); }

namespace {

const mode_t executableMode = 0775;

enum class TBackup {
    None, // there was no installed file
    Linked, // the installed file is at the target and, by a hard link, at the backup name
    Renamed, // the installed file is only at the backup name (no hard links on this file system)
};

QString moveFailed(const TReplacement& r)
{
    return QLatin1String("move '") + r.source + QLatin1String("' to '") + r.homeDir
        + QLatin1String("' failed");
}

QByteArray backupName(const TReplacement& r) { return backupNameOf(r.targetAt.name); }
QByteArray copyName(const TReplacement& r) { return besideName(r.targetAt.name, copySuffix); }

bool linkRefused(int error)
{
    return error == EPERM || error == EXDEV || error == ENOTSUP || error == EOPNOTSUPP
        || error == EMLINK;
}

// A leftover that may not be there: only a failure to remove one that is there is worth a line.
void removeLeftover(const TReplacement& r, const QByteArray& name, const QString& text)
{
    if (::unlinkat(r.targetAt.dir.fd, name.constData(), 0) != 0 && errno != ENOENT)
        logLine("Warning: remove '" + logText(text) + "' failed");
}

// Opens the new file itself, never a link and never blocking on a FIFO, and checks that it is
// still the regular file the caller looked at.
QString openNewFile(const TReplacement& r, TFileDescriptor& fd)
{
    fd.reset(::openat(r.sourceAt.dir.fd, r.sourceAt.name.constData(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int openError = errno;
    const QString notRegular
        = QLatin1Char('\'') + r.source + QLatin1String("' is not a regular file");
    if (!fd.isOpen() && openError == ENOENT)
        return QLatin1Char('\'') + r.source + QLatin1String("' not exists");
    if (!fd.isOpen())
        return openError == ELOOP ? notRegular : moveFailed(r);
    struct stat st { };
    if (::fstat(fd.get(), &st) != 0)
        return moveFailed(r);
    if (!S_ISREG(st.st_mode) || st.st_ino != r.sourceStat.st_ino
        || st.st_dev != r.sourceStat.st_dev)
        return notRegular;
    // What is moved below is this inode: it must be the one whose checksum held.
    if (r.verifiedSource.isSet() && !r.verifiedSource.matches(st))
        return QLatin1Char('\'') + r.source + QLatin1String("' changed after its verification");
    return QString();
}

// The described time, or for a copy the new file's own times, as a rename would have kept them.
// False when the time could not be applied, or not exactly: a file system keeps times within a
// range of its own and silently brings one outside it to the nearest end.
bool applyTime(const TReplacement& r, int fd, bool isCopy)
{
    timespec times[2];
    if (r.modifiedTime.isValid()) {
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_NOW;
        times[1].tv_sec = static_cast<time_t>(r.modifiedTime.toSecsSinceEpoch());
        times[1].tv_nsec = 0;
    } else if (isCopy) {
        times[0] = r.sourceStat.st_atim;
        times[1] = r.sourceStat.st_mtim;
    } else {
        return true;
    }
    struct stat st { };
    return ::futimens(fd, times) == 0 && ::fstat(fd, &st) == 0
        && st.st_mtim.tv_sec == times[1].tv_sec;
}

// The copy gets what a rename would have kept: the new file's owner and mode (0775 for an
// executable), and its time unless one is described.
bool finishCopy(const TReplacement& r, int fd, bool& timeFailed)
{
    const struct stat& st = r.sourceStat;
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid())
        && ::fchown(fd, st.st_uid, st.st_gid) != 0)
        return false;
    if (::fchmod(fd, r.executable ? executableMode : (st.st_mode & 07777)) != 0)
        return false;
    timeFailed = !applyTime(r, fd, true);
    return true;
}

// Copies the new file, which lies on another file system, to "<target>.upgrade-new" beside the
// target: written whole, checked at every write and at the close, and on disk before anyone can
// rename it in. On failure nothing of it is left.
QString copyBeside(const TReplacement& r, int from, bool& timeFailed)
{
    const int dir = r.targetAt.dir.fd;
    const QByteArray name = copyName(r);
    // The exclusive create never opens an existing file or follows a link.
    TFileDescriptor to(::openat(dir, name.constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!to.isOpen())
        return moveFailed(r);
    // Now a partial copy stands at the copy's name; the target is untouched.
    const bool copied = copyData(from, to.get()) && finishCopy(r, to.get(), timeFailed)
        && ::fsync(to.get()) == 0 && to.close();
    if (!copied) {
        ::unlinkat(dir, name.constData(), 0);
        return moveFailed(r);
    }
    // Now the whole copy is on disk under the copy's name.
    return QString();
}

// The new file, still in the new-arrival directory, gets its mode and time before it is renamed in.
QString prepareInPlace(const TReplacement& r, int fd, bool& timeFailed)
{
    if (r.executable && ::fchmod(fd, executableMode) != 0)
        return QLatin1String("add execution permission to '") + r.target
            + QLatin1String("' failed");
    timeFailed = !applyTime(r, fd, false);
    return QString();
}

// A run that keeps its backups (all or nothing) takes one that a cut-off run of the same upgrade
// left as the installed file's, when it is the very file the journal recorded: the target may
// already hold that run's new file, and then the backup is the only copy of the old one. (Where the
// cut came between the link and the rename, backup and target are one file, and keeping it is the
// same as linking anew.) Any other file there is a leftover.
bool keepsOwnBackup(const TReplacement& r)
{
    struct stat st { };
    return r.keepBackup && r.ownBackup.isSet()
        && ::fstatat(r.targetAt.dir.fd, backupName(r).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && TFileId { st.st_dev, st.st_ino } == r.ownBackup;
}

QString makeBackup(const TReplacement& r, TBackup& backup)
{
    backup = TBackup::None;
    if (!r.targetExists)
        return QString();
    const int dir = r.targetAt.dir.fd;
    const char* target = r.targetAt.name.constData();
    const QByteArray name = backupName(r);
    const QString staleFailed
        = QLatin1String("remove '") + r.target + QLatin1String(".tmp' failed");
    if (keepsOwnBackup(r))
        return QString();
    // Now the installed file is at the target; a backup left by a cut-off run may stand beside it.
    // Power cut: the target holds the old file, the new one waits whole where it was prepared.
    int linked = ::linkat(dir, target, dir, name.constData(), 0);
    int linkError = errno;
    if (linked != 0 && linkError == EEXIST) {
        if (::unlinkat(dir, name.constData(), 0) != 0)
            return staleFailed;
        linked = ::linkat(dir, target, dir, name.constData(), 0);
        linkError = errno;
    }
    if (linked == 0) {
        // Now the installed file has two names, the target and the backup. Power cut: the target
        // holds the old file; the next deployment of the path drops the backup.
        backup = TBackup::Linked;
        return QString();
    }
    const QString backupFailed
        = QLatin1String("move'") + r.target + QLatin1String("' to '.tmp' failed");
    if (!linkRefused(linkError))
        return backupFailed;
    // This file system has no hard links: the installed file moves to the backup name instead.
    if (::unlinkat(dir, name.constData(), 0) != 0 && errno != ENOENT)
        return staleFailed;
    if (::renameat(dir, target, dir, name.constData()) != 0)
        return backupFailed;
    // Now the installed file is only at the backup name and the target path is empty, until the
    // rename below or the restore. Power cut: the old file is at the backup; the next deployment
    // moves the new file in and drops the backup.
    backup = TBackup::Renamed;
    return QString();
}

// After a failed move-in: the target holds the installed file again (with a hard-link backup it
// never stopped holding it; otherwise the backup is renamed back in one step). A backup that cannot
// be dropped or put back stays for the next deployment of the path, which recovers from it.
void restoreBackup(const TReplacement& r, TBackup backup)
{
    const int dir = r.targetAt.dir.fd;
    const QByteArray name = backupName(r);
    if (backup == TBackup::Linked)
        ::unlinkat(dir, name.constData(), 0);
    else if (backup == TBackup::Renamed)
        ::renameat(dir, name.constData(), dir, r.targetAt.name.constData());
}

bool renameIn(const TReplacement& r, const TFileAt& from)
{
    return ::renameat(
               from.dir.fd, from.name.constData(), r.targetAt.dir.fd, r.targetAt.name.constData())
        == 0;
}

// The one rename that puts the new file at the target. A new file on another file system (which
// the device numbers may not tell, as with a bind mount) is copied beside the target first.
QString moveIn(const TReplacement& r, int from, bool& copied, bool& timeFailed)
{
    const TFileAt copyAt { r.targetAt.dir, copyName(r) };
    // After this rename the target holds the new file, whose data the run flushed before its
    // first rename (or fsynced, for a copy). Power cut before it reaches the journal: the target
    // still holds the old file; after: the new one. Never neither.
    if (renameIn(r, copied ? copyAt : r.sourceAt))
        return QString();
    if (errno == EXDEV && !copied) {
        QString error = copyBeside(r, from, timeFailed);
        if (!error.isEmpty())
            return error;
        copied = true;
        if (renameIn(r, copyAt))
            return QString();
    }
    return moveFailed(r);
}

void finish(const TReplacement& r, TBackup backup, bool copied, bool timeFailed)
{
    // Now the new file is at the target; the installed one, if there was one, is at the backup
    // name only. Power cut: the target holds the new file; a backup or a copy's source left over
    // is removed by the next deployment (the source is simply deployed again).
    // A copy's rename is on disk before the new file leaves the new-arrival directory, which lies
    // on another file system and may commit its removal first.
    if (copied
        && (!syncDirectory(r.targetAt.dir.fd)
            || ::unlinkat(r.sourceAt.dir.fd, r.sourceAt.name.constData(), 0) != 0))
        logLine("Warning: remove '" + logText(r.source) + "' failed");
    // This also drops a backup left behind by an earlier, interrupted deployment, which a
    // directory this run made cannot hold.
    if (!r.keepBackup && (backup != TBackup::None || !r.targetAt.dir.madeByRun))
        removeLeftover(r, backupName(r), r.target + QLatin1String(".tmp"));
    if (timeFailed)
        logLine("Warning: change file '" + logText(r.target) + "' last modification time failed");
}

} // namespace

void dropBackupOfLandedFile(const TReplacement& r)
{
    if (r.targetExists && !r.keepBackup)
        removeLeftover(r, backupName(r), r.target + QLatin1String(".tmp"));
}

QString replaceFile(const TReplacement& r)
{
    // A temporary copy that a cut-off run left is never the installed file: drop it. A directory
    // this run made holds none, and looking costs a system call per file.
    if (!r.targetAt.dir.madeByRun)
        removeLeftover(r, copyName(r), r.target + QLatin1String(copySuffix));
    TFileDescriptor from;
    QString error = openNewFile(r, from);
    if (!error.isEmpty())
        return error;
    bool timeFailed = false;
    // A new file on another file system is copied, and so is one with other names (a hard link,
    // perhaps to a file outside the home directory): mode and time then go to a copy of its own,
    // never to an inode that another name shares.
    bool copied = r.sourceStat.st_dev != r.targetAt.dir.device || r.sourceStat.st_nlink > 1;
    error = copied ? copyBeside(r, from.get(), timeFailed)
                   : prepareInPlace(r, from.get(), timeFailed);
    if (!error.isEmpty())
        return error;
    // Now the new file, with its mode and time, is complete in the target's directory or in the
    // new-arrival directory; the target is untouched. Power cut: the target holds the old file.
    TBackup backup = TBackup::None;
    error = makeBackup(r, backup);
    if (error.isEmpty())
        error = moveIn(r, from.get(), copied, timeFailed);
    if (!error.isEmpty()) {
        if (copied)
            ::unlinkat(r.targetAt.dir.fd, copyName(r).constData(), 0);
        restoreBackup(r, backup);
        return error;
    }
    finish(r, backup, copied, timeFailed);
    return QString();
}

namespace {

TFileId idOf(const struct stat& st) { return { st.st_dev, st.st_ino }; }

// The SHA-256 of the regular file |name| in |dir|, never through a link and never blocking on a
// FIFO; empty when it is no regular file or cannot be read.
QByteArray contentSha256(int dir, const QByteArray& name)
{
    TFileDescriptor fd(
        ::openat(dir, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st { };
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return QByteArray();
    return descriptorSha256(fd.get());
}

// The device of the directory that will hold |place|: its own, or the home directory's where it is
// still to be made (it will be made there). False when the path cannot be confined.
bool targetDevice(const THomePath& place, const QString& homeDir, dev_t& device, bool& missing)
{
    TDirAt dir;
    int error = 0;
    const TPlace where = place.openDir(false, dir, error);
    missing = where == TPlace::Missing;
    if (missing && THomePath(homeDir, QStringLiteral("x")).openDir(false, dir, error) != TPlace::Ok)
        return false;
    device = dir.device;
    return where == TPlace::Ok || missing;
}

// The new file at |arrival| as a regular file, looked at without following a link.
bool lookAtNewFile(const THomePath& arrival, struct stat& source)
{
    TFileAt at;
    int error = 0;
    return arrival.isInsideHome() && arrival.lookAt(at, source, error) == TPlace::Ok
        && S_ISREG(source.st_mode);
}

QByteArray newFileSha256(const THomePath& arrival, const QString& describedSha256)
{
    if (isSha256Text(describedSha256))
        return describedSha256.toLower().toLatin1();
    TFileAt at;
    int error = 0;
    if (arrival.openAt(false, at, error) != TPlace::Ok)
        return QByteArray();
    return contentSha256(at.dir.fd, at.name);
}

} // namespace

bool planReplacement(const QString& homeDir, const QString& newFileLoc, const QString& path,
    const QString& describedSha256, TJournalEntry& entry)
{
    const THomePath place(homeDir, path), arrival(newFileLoc, path);
    struct stat source {
    }, target {};
    dev_t device = 0;
    bool missing = false;
    if (path.isEmpty() || path.contains(QChar(0)) || !place.isInsideHome()
        || place.nameIsDirectory() || !lookAtNewFile(arrival, source)
        || !targetDevice(place, homeDir, device, missing))
        return false;
    entry = TJournalEntry();
    entry.path = path;
    entry.backupName = backupNameOf(place.name());
    // The rename keeps the new file's inode, unless it is copied (see replaceFile).
    if (source.st_nlink > 1 || source.st_dev != device)
        entry.freshSha256 = newFileSha256(arrival, describedSha256);
    else
        entry.fresh = idOf(source);
    TFileAt at;
    int error = 0;
    if (!missing && place.lookAt(at, target, error) == TPlace::Ok) {
        if (S_ISDIR(target.st_mode))
            return false;
        entry.old = idOf(target);
    }
    return entry.fresh.isSet() || entry.freshSha256.size() == 64;
}

namespace {

// True when |name| in |dir|, as |st| shows it, is the new file the entry recorded.
bool holdsFresh(int dir, const QByteArray& name, const struct stat& st, const TJournalEntry& entry)
{
    if (entry.fresh.isSet())
        return idOf(st) == entry.fresh;
    return S_ISREG(st.st_mode) && contentSha256(dir, name) == entry.freshSha256;
}

TUndo outcome(bool done) { return done ? TUndo::Restored : TUndo::Failed; }

} // namespace

TUndo undoReplacement(const QString& homeDir, const TJournalEntry& entry)
{
    const THomePath place(homeDir, entry.path);
    TFileAt at;
    int error = 0;
    if (entry.path.isEmpty() || !place.isInsideHome() || place.nameIsDirectory())
        return TUndo::Untouched;
    const TPlace where = place.openAt(false, at, error);
    if (where != TPlace::Ok)
        return where == TPlace::Missing ? TUndo::Untouched : TUndo::Failed;
    const TDirAt& dir = at.dir;
    const QByteArray& name = at.name;
    const QByteArray backup = entry.backupName.isEmpty() ? backupNameOf(name) : entry.backupName;
    struct stat atTarget {
    }, atBackup {};
    const bool hasTarget = ::fstatat(dir.fd, name.constData(), &atTarget, AT_SYMLINK_NOFOLLOW) == 0;
    const bool isNew = hasTarget && holdsFresh(dir.fd, name, atTarget, entry);
    if (!entry.old.isSet())
        return isNew ? outcome(::unlinkat(dir.fd, name.constData(), 0) == 0) : TUndo::Untouched;
    const bool ownBackup
        = ::fstatat(dir.fd, backup.constData(), &atBackup, AT_SYMLINK_NOFOLLOW) == 0
        && idOf(atBackup) == entry.old;
    // Without its backup, a target holding the new file cannot be put back.
    if (!ownBackup)
        return isNew ? TUndo::Failed : TUndo::Untouched;
    // Cut between the link and the rename: the target still holds the installed file.
    if (hasTarget && idOf(atTarget) == entry.old)
        return outcome(::unlinkat(dir.fd, backup.constData(), 0) == 0);
    // A target that is neither the installed file nor the new one is not the run's to replace.
    if (hasTarget && !isNew)
        return TUndo::Failed;
    // Now the backup goes back over the new file (or the empty target) in one rename.
    return outcome(::renameat(dir.fd, backup.constData(), dir.fd, name.constData()) == 0);
}

bool dropBackup(const QString& homeDir, const QString& path)
{
    const THomePath place(homeDir, path);
    TFileAt at;
    int error = 0;
    if (path.isEmpty() || !place.isInsideHome() || place.nameIsDirectory())
        return false;
    const TPlace where = place.openAt(false, at, error);
    if (where == TPlace::Missing)
        return true;
    const QByteArray backup = backupNameOf(at.name);
    return where == TPlace::Ok
        && (::unlinkat(at.dir.fd, backup.constData(), 0) == 0 || errno == ENOENT);
}

void flushFileSystems(const QStringList& dirs)
{
    std::vector<dev_t> flushed;
    bool syncAll = false;
    for (const QString& dir : dirs) {
        const QByteArray path = dir.isEmpty() ? QByteArray("/") : QFile::encodeName(dir);
        TFileDescriptor fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st { };
        if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0) {
            syncAll = true;
            continue;
        }
        if (std::find(flushed.begin(), flushed.end(), st.st_dev) != flushed.end())
            continue;
        flushed.push_back(st.st_dev);
        if (::syncfs(fd.get()) != 0) {
            const int error = errno;
            logLine(
                "Warning: syncfs '" + logText(dir) + "' failed(" + errnoNumberText(error) + ')');
            syncAll = true;
        }
    }
    if (syncAll)
        ::sync();
}
