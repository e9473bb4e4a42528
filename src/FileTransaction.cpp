// SPDX-License-Identifier: MIT
#include "FileTransaction.h"

#include "FileReplacement.h"
#include "HomePath.h"
#include "InstallJournal.h"
#include "RunLog.h"
#include "UpgradeCommon.h"
#include "Verify.h"

#include <QFileInfo>

#include <algorithm>
#include <numeric>

namespace {

QByteArray quoted(const QString& text) { return '\'' + logText(text) + '\''; }

} // namespace

QVector<int> inPathOrder(const QList<TReadyFile>& files)
{
    QVector<int> order(files.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
        [&files](int a, int b) { return files.at(a).path < files.at(b).path; });
    return order;
}

TFileTransaction::TFileTransaction(const QString& homeDir, const QString& newFileLoc,
    const QString& newFileDesc, const QByteArray& descSha256)
    : m_homeDir(homeDir)
    , m_newFileLoc(newFileLoc)
    , m_newFileDesc(newFileDesc)
    , m_descSha256(descSha256)
{
}

void TFileTransaction::deployEachFile(QList<TReadyFile>& files, const TVerification& verification)
{
    QString ignored;
    deployEach(files, verification, nullptr, ignored);
    TInstallJournal(m_newFileDesc, m_descSha256).remove();
}

// Deploys the files in list order. Without |journal| a failure is a warning and the next file
// follows. With it (all or nothing) every backup stays for rollBack(), a backup that a cut-off run
// left is kept only where the journal owns it, and the first failure ends the loop, its text in
// |error|.
bool TFileTransaction::deployEach(QList<TReadyFile>& files, const TVerification& verification,
    const TInstallJournal* journal, QString& error)
{
    const bool keepBackups = journal != nullptr;
    logLine("NewFileCount: " + QByteArray::number(files.size()));
    for (int i = 0; i < files.size(); ++i) {
        TReadyFile& file = files[i];
        logLine("NewFile: " + logText(file.path));
        if (verification.inPlace.contains(i)) {
            logLine("Info: " + quoted(file.path) + " already in place");
            // A run cut off after this file was moved in may have left its backup; an
            // all-or-nothing run keeps it until the whole upgrade has landed.
            if (!keepBackups)
                warnUnlessBackupDropped(file);
            continue;
        }
        file.verifiedSource = verification.hashed.value(i);
        // Only a cut-off run can have made a backup of its own; any other is a leftover.
        const TJournalEntry* entry
            = journal && journal->isFromCutOffRun(file.path) ? journal->find(file.path) : nullptr;
        error = file.deploy(m_newFileLoc, m_homeDir, keepBackups, entry ? entry->old : TFileId());
        if (error.isEmpty())
            continue;
        if (keepBackups)
            return false;
        logLine("Warning: " + logText(error));
    }
    error.clear();
    return true;
}

// Before the first change, every file the run will put in place goes to the journal, on disk: the
// installed file its backup will keep and the new file that will stand at the path.
bool TFileTransaction::recordPlan(QList<TReadyFile>& files, const TVerification& verification,
    TInstallJournal& journal, QString& error)
{
    QVector<TJournalEntry> planned;
    planned.reserve(files.size());
    for (const int i : inPathOrder(files)) {
        const TReadyFile& file = files.at(i);
        TJournalEntry entry;
        // A file already in place that no journal of this description owns was not put there by
        // a run of it: it is left as it is, whatever happens.
        if (!verification.inPlace.contains(i) && !journal.find(file.path)
            && planReplacement(m_homeDir, m_newFileLoc, file.path, file.sha256, entry))
            planned.append(entry);
    }
    return journal.record(planned, error);
}

// Every replacement keeps its backup. At the first failure every file the journal owns is returned
// to what it was, whether this run or a cut-off run of the same description put it there.
// Otherwise the upgrade has landed whole, and the backups and the journal are dropped.
bool TFileTransaction::deployAllOrNothing(
    QList<TReadyFile>& files, const TVerification& verification, QString& error)
{
    TInstallJournal journal(m_newFileDesc, m_descSha256);
    loadJournal(journal);
    if (!recordPlan(files, verification, journal, error)) {
        // Nothing of this run has moved; what a cut-off run put in place is undone all the same.
        if (rollBack(files, journal) > 0)
            error = QLatin1String("rolled back: ") + error;
        return false;
    }
    if (!deployEach(files, verification, &journal, error)) {
        rollBack(files, journal);
        error = QLatin1String("rolled back: ") + error;
        return false;
    }
    // Every new file is at its path on disk before the backups, the record of the old ones, go.
    flushFileSystems({ m_homeDir, QFileInfo(m_newFileDesc).path() });
    commit(files, journal);
    return true;
}

// A journal that cannot be read, or belongs to another description, owns nothing.
bool TFileTransaction::loadJournal(TInstallJournal& journal)
{
    QString error;
    if (journal.load(error))
        return true;
    logLine("Warning: " + logText(error));
    return false;
}

// Undoes, last first, what the journal owns of every file of the list (see undoReplacement). The
// journal goes only when every file is back, so that a run cut off here, or one whose restore
// failed, leaves the record for the next run.
int TFileTransaction::rollBack(const QList<TReadyFile>& files, const TInstallJournal& journal)
{
    int undone = 0;
    bool restored = true;
    for (int i = files.size() - 1; i >= 0; --i) {
        const TJournalEntry* entry = journal.find(files.at(i).path);
        const TUndo result = entry ? undoReplacement(m_homeDir, *entry) : TUndo::Untouched;
        if (result == TUndo::Untouched)
            continue;
        ++undone;
        const QByteArray target = quoted(THomePath(m_homeDir, entry->path).target());
        restored = restored && result == TUndo::Restored;
        logOutcome(result == TUndo::Restored, "restore " + target);
    }
    if (restored)
        journal.remove();
    return undone;
}

int TFileTransaction::undoCutOffRun(const QList<TReadyFile>& files)
{
    TInstallJournal journal(m_newFileDesc, m_descSha256);
    // One that cannot be read stays as it is: it may be the record of a run that a read error
    // hides for now.
    if (!loadJournal(journal))
        return 0;
    return rollBack(files, journal);
}

void TFileTransaction::warnUnlessBackupDropped(const TReadyFile& file)
{
    if (!dropBackup(m_homeDir, file.path))
        logLine("Warning: remove "
            + quoted(THomePath(m_homeDir, file.path).target() + QLatin1String(".tmp")) + " failed");
}

// Every file is in place: the backups are dropped, then the journal. A run cut off in between
// finds every file already in place and drops what is left.
void TFileTransaction::commit(const QList<TReadyFile>& files, const TInstallJournal& journal)
{
    for (const int i : inPathOrder(files))
        warnUnlessBackupDropped(files.at(i));
    if (!journal.remove())
        logLine("Warning: remove " + quoted(journal.path()) + " failed");
}
