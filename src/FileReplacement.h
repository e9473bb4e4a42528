// SPDX-License-Identifier: MIT
// The replacement of one installed file by a new one, safe at every instant: the target path holds
// the old file or the new one, whole, whenever the power goes; a ".tmp" backup of the installed
// file stands beside it until the new file is in.
#pragma once

#include "HomePath.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

// A name in an open directory. The name is never followed when it is a link.
struct TFileAt {
    TDirAt dir;
    QByteArray name;
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
    // Leave "<target>.tmp" in place after success, for undoReplacement; a backup already there is
    // kept as the installed file's, not replaced.
    bool keepBackup = false;
    QDateTime modifiedTime; // applied when valid
};

// A temporary copy of a new file that arrived on another file system is made at the target path
// with this suffix, beside the target, and renamed over it once it is whole and on disk. The next
// deployment of the same path removes one that a cut-off run left.
extern const char copySuffix[];

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

// Undoes one replacement made with keepBackup: when "<target>.tmp" exists it is renamed back over
// the target, so the installed file returns; otherwise the target is removed, as there was no
// installed file before. (With keepBackup, a backup found beside a missing target is kept too: it
// is the installed file of a run cut off between its two renames.) Confined like every operation of
// the run. Returns false, having changed nothing, when the target is not confined or the rename or
// removal fails.
bool undoReplacement(const QString& homeDir, const QString& path);

// What stands at an installed path and at its backup name "<path>.tmp", looked at without
// following either. |known| is false when the path is not confined to the home directory or could
// not be looked at; the two flags then say nothing.
struct TInstalled {
    bool known = false;
    bool target = false;
    bool backup = false;
};
TInstalled lookAtInstalled(const QString& homeDir, const QString& path);

// Removes the backup "<path>.tmp" that a replacement with keepBackup left, confined like every
// operation of the run. True when no backup is left (there was none, or it is removed).
bool dropBackup(const QString& homeDir, const QString& path);

// Sets the modification time of |filePath| to |modifiedTime| and its access time to now, without
// following a link at the last component.
bool setFileTime(const QString& filePath, const QDateTime& modifiedTime);

// Writes everything the run changed on the file systems that hold |dirs| to disk (syncfs once for
// each file system; sync where a directory cannot be opened). A file system that reports an error
// is logged.
void flushFileSystems(const QStringList& dirs);
