// SPDX-License-Identifier: MIT
// Putting the new files of one upgrade in place: each on its own (a failure is a warning and the
// next file follows), or all or nothing under the install journal, with the rollback of every file
// the journal owns at the first failure.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

class TInstallJournal;
class TReadyFile;
struct TVerification;

// The indexes of |files| in the order of their paths, which puts the files of one directory next
// to each other. The steps whose order does not matter (the journal's plan, dropping the backups,
// measuring the room) take the files so: each directory is then resolved once, not once per file,
// as the last directory of each root stays open (see THomePath::openDir).
QVector<int> inPathOrder(const QList<TReadyFile>& files);

class TFileTransaction {
public:
    // |descSha256| ties the journal, kept beside |newFileDesc|, to the description's text.
    TFileTransaction(const QString& homeDir, const QString& newFileLoc, const QString& newFileDesc,
        const QByteArray& descSha256);

    // Deploys the files in list order, each on its own, then drops a journal that an
    // all-or-nothing run of an earlier description left: it describes files this run may just
    // have replaced and must never undo them.
    void deployEachFile(QList<TReadyFile>& files, const TVerification& verification);

    // All or nothing. False, with |error| ("rolled back: ..." when anything was undone), when a
    // file failed: every file the journal owns is then as it was.
    bool deployAllOrNothing(
        QList<TReadyFile>& files, const TVerification& verification, QString& error);

    // Undoes what a cut-off run of the same description put in place; the number of files undone.
    int undoCutOffRun(const QList<TReadyFile>& files);

private:
    bool deployEach(QList<TReadyFile>& files, const TVerification& verification,
        const TInstallJournal* journal, QString& error);
    bool recordPlan(QList<TReadyFile>& files, const TVerification& verification,
        TInstallJournal& journal, QString& error);
    bool loadJournal(TInstallJournal& journal);
    int rollBack(const QList<TReadyFile>& files, const TInstallJournal& journal);
    void commit(const QList<TReadyFile>& files, const TInstallJournal& journal);
    void warnUnlessBackupDropped(const TReadyFile& file);

    QString m_homeDir;
    QString m_newFileLoc;
    QString m_newFileDesc;
    QByteArray m_descSha256;
};
