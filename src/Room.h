// SPDX-License-Identifier: MIT
// Room before the first change: a run that would fill a file system halfway through its files
// leaves an upgrade half done (or, all or nothing, rolls back after all that work). So before it
// changes anything the run adds up what it will write on each file system that receives new files,
// and compares that with what is available there (statvfs f_bavail, as for an unprivileged user:
// the blocks kept for root are the system's reserve).
//
// What costs room: a new file renamed in from the same file system costs nothing (its blocks are
// already there), nor does a backup made by a hard link or a rename; a new file copied in from
// another file system (or one with other names, which is copied too) costs its size, rounded up to
// whole blocks, for as long as the old file is kept beside it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <sys/types.h>

class TRoom {
public:
    // One file system that receives new files.
    struct TFileSystem {
        dev_t device = 0;
        QString dir; // the home directory, or the first target directory met on another one
        quint64 blockSize = 0;
        quint64 available = 0; // bytes
        quint64 needed = 0; // bytes
    };

    // Adds what putting newFileLoc + "/" + |path| at homeDir + "/" + |path| will write. A path the
    // run cannot act on (not confined, no regular new file) costs nothing: it fails on its own.
    void add(const QString& homeDir, const QString& newFileLoc, const QString& path);

    // Adds what keeping the installed file homeDir + "/" + |path| in the rollback store (in the
    // home directory) will write: nothing where it lies on the home directory's file system (a hard
    // link), its size otherwise (a copy).
    void addSaved(const QString& homeDir, const QString& path);

    // The file systems met, in the order they were met.
    const QVector<TFileSystem>& fileSystems() const { return m_fileSystems; }

    // False when some file system has less room than needed; |error| is then
    // "not enough space on '<dir>': need N bytes, M available" for the first of them.
    bool check(QString& error) const;

private:
    TFileSystem* fileSystemOf(dev_t device, int dirFd, const QString& dir);

    QVector<TFileSystem> m_fileSystems;
};
