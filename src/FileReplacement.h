// SPDX-License-Identifier: MIT
// The replacement of one installed file by a new one, safe at every instant: the target path holds
// the old file or the new one, whole, whenever the power goes; a ".tmp" backup of the installed
// file stands beside it until the new file is in.
#pragma once

#include "HomePath.h"
#include "InstallJournal.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

// What a new file was when its checksum was read: the same inode, unchanged since (its change time
// and size as they were), is the file whose contents were verified. An inode alone is not enough:
// a file removed after the verification frees its number for the next one made, and a file written
// in place keeps it.
struct TVerifiedFile {
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec changed { };
    off_t size = 0;

    bool isSet() const { return inode != 0; }
    static TVerifiedFile of(const struct stat& st)
    {
        return { st.st_dev, st.st_ino, st.st_ctim, st.st_size };
    }
    bool matches(const struct stat& st) const
    {
        return st.st_dev == device && st.st_ino == inode && st.st_ctim.tv_sec == changed.tv_sec
            && st.st_ctim.tv_nsec == changed.tv_nsec && st.st_size == size;
    }
};

// What to put where, and what the installed file must look like afterwards. The caller has
// confined both directories and looked at both names (without following them).
struct TReplacement {
    QString source; // the new file, in the new-arrival directory, for the messages
    QString target; // the installed path under the home directory, for the messages
    QString homeDir; // as given, for the messages
    TFileAt sourceAt;
    TFileAt targetAt;
    struct stat sourceStat { }; // the new file, a regular file
    bool targetExists = false; // something (a file, a link) stands at the target name
    bool executable = false; // give the installed file mode 0775
    // Leave "<target>.tmp" in place after success, for undoReplacement.
    bool keepBackup = false;
    // With keepBackup: the installed file a journal recorded for this path. A backup already
    // there that is this very file (a cut-off run of the same upgrade made it) is kept as the
    // installed file's; anything else at the backup name is a stale leftover and is replaced.
    TFileId ownBackup;
    // The new file whose checksum was verified, when one was: any other file at the source name
    // (one put there after the verification) is refused.
    TVerifiedFile verifiedSource;
    QDateTime modifiedTime; // applied when valid
};

// A temporary copy of a new file that arrived on another file system is made at the target path
// with this suffix, beside the target, and renamed over it once it is whole and on disk. The next
// deployment of the same path removes one that a cut-off run left.
extern const char copySuffix[];

// The name of a file kept beside |name| with |suffix|: name + suffix, or where that would not fit
// NAME_MAX, the name's first bytes, "~", 16 hex digits of a hash of the whole name, and the
// suffix. The same name always gives the same result, so a later run finds what an earlier one
// left; the journal records the backup's name too.
QByteArray besideName(const QByteArray& name, const char* suffix);
// The backup name of |name|: besideName(name, ".tmp").
QByteArray backupNameOf(const QByteArray& name);

// Called when the new file is gone but something stands at the target: a run cut off after it
// moved the new file in and before it dropped the backup left the old file at "<target>.tmp".
// Removes that backup (a line only when removing it fails), unless |r.keepBackup| keeps it as the
// record an all-or-nothing run undoes from.
void dropBackupOfLandedFile(const TReplacement& r);

// Puts |r.source| in place at |r.target|. The target keeps its old content until one rename puts
// the new one there; the new file has its mode and time before that rename. Returns an empty text
// on success, otherwise the reason of the failure, with the target still holding what it held
// before (or, where the file system has no hard links, put back from the backup). Warnings the
// replacement survives are logged.
QString replaceFile(const TReplacement& r);

// The journal entry of putting the new file newFileLoc + "/" + |path| at homeDir + "/" + |path|:
// the installed file standing there now (a backup of it will be made), and the new file the rename
// will put there, or, when it will be copied (another file system, or other names), the SHA-256 of
// its contents (|describedSha256| when the description gives one, else read from the file). False
// when the run cannot change anything at the path (no regular new file, a target that is not
// confined or is a directory): the deployment then fails on its own, and there is nothing to undo.
bool planReplacement(const QString& homeDir, const QString& newFileLoc, const QString& path,
    const QString& describedSha256, TJournalEntry& entry);

enum class TUndo {
    Untouched, // nothing of the entry's was there: the path is left as it is
    Restored, // the backup is back at the target, or the fresh file is gone
    Failed, // the entry's work is there and could not be undone
};

// Undoes the work of one journal entry, confined like every operation of the run, and only where
// it is the entry's own: the backup goes back only when it is the recorded installed file, over a
// target that is missing or still the recorded new file (a run cut off between its link and its
// rename left both names on the installed file: the backup name is then dropped); a fresh file is
// removed only while it is the recorded new file.
TUndo undoReplacement(const QString& homeDir, const TJournalEntry& entry);

// Removes the backup "<path>.tmp" that a replacement with keepBackup left, confined like every
// operation of the run. True when no backup is left (there was none, or it is removed).
bool dropBackup(const QString& homeDir, const QString& path);

// Writes everything the run changed on the file systems that hold |dirs| to disk (syncfs once for
// each file system; sync where a directory cannot be opened). A file system that reports an error
// is logged.
void flushFileSystems(const QStringList& dirs);
