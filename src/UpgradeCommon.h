// SPDX-License-Identifier: MIT
// The ready-file record: one file of an upgrade and the operations that put it in place, remove it
// and stop the processes that run it.
#pragma once

#include "FileReplacement.h"
#include "HomePath.h"
#include "RunLog.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <sys/stat.h>

// What a run does with one listed file, decided once before it acts: the dry run ("-check")
// prints this plan and the real run carries it out, so the two cannot disagree.
struct TFilePlan {
    // The text the run logs when the file is not put in place; empty when it is.
    QString refusal;
    // The new file is not there: the processes are still stopped, then the file fails with
    // |refusal|.
    bool sourceMissing = false;
    // Its processes are stopped before it is put in place (see THomePath::isStoppable).
    bool stops = false;
    // Where the file goes and what it is, set as far as the plan got.
    TReplacement replacement;
};

// What a run does with one entry of the removal list.
struct TRemovalPlan {
    bool stops = false; // its processes are stopped first
    bool confined = false; // its directory lies inside the home directory: the name is removed
    TFileAt at;
};

class TReadyFile : public QObject {
    Q_OBJECT

public:
    explicit TReadyFile(const QString& path = QString(), QObject* parent = nullptr);
    // Copies keep the source's parent; an assignment never changes the parent.
    TReadyFile(const TReadyFile& other);
    TReadyFile& operator=(const TReadyFile& other);
    ~TReadyFile() override;

    // Moves newFileLoc + "/" + path to homeDir + "/" + path through a ".tmp" backup of the
    // installed file. Returns an empty text on success, otherwise the reason of the failure.
    // Both the new file and the target must really lie inside their directories (see THomePath);
    // the new file must be a regular file and the target must not be a directory. With
    // |keepBackup| the backup stays, so that undoReplacement() can put the installed file back; a
    // backup already there is kept only when it is |ownBackup| (see TReplacement).
    QString deploy(const QString& newFileLoc, const QString& homeDir, bool keepBackup = false,
        const TFileId& ownBackup = TFileId());

    // What deploy() will do. With |create| missing directories of the target are made, as the
    // real run needs them; without it (the dry run) a missing directory is planned as made.
    TFilePlan plan(const QString& newFileLoc, const QString& homeDir, bool create) const;
    // What removeWithKill() will do.
    TRemovalPlan planRemoval(const QString& homeDir) const;

    // Removes homeDir + "/" + path, stopping its processes first when it runs as a process. A
    // link at the path is removed as a link; a path whose real directory lies outside the home
    // directory is left alone (false).
    bool removeWithKill(const QString& homeDir);

    // Sends SIGTERM to every process, other than this one, whose name equals the last component
    // of |filePath|. Returns the number of processes signalled, or -1 when the process table
    // cannot be read. |procRoot| is the process table to walk.
    int terminate(const QString& filePath);
    int terminate(const QString& filePath, const QString& procRoot);

    QString path;
    QDateTime modifiedTime;
    // The SHA-256 the description gives for the new file's contents, as written; null when it
    // gives none.
    QString sha256;
    // The new file whose checksum was verified: only that file is moved in (unset: no checksum).
    TVerifiedFile verifiedSource;

    // Sends SIGTERM to the processes that run this file and waits for their end, one second at
    // the most, with a line when there were any.
    void stopProcesses();

private:
    QString carryOut(TFilePlan& plan, bool keepBackup, const TFileId& ownBackup);
    QString findNewFile(const THomePath& arrival, TFileAt& at, struct stat& st, bool& exists) const;
    QString findTarget(const THomePath& place, bool create, TFileAt& at, bool& exists) const;
};
