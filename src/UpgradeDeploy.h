// SPDX-License-Identifier: MIT
// The controller of one upgrade run: reads the options and the two documents, verifies the
// checksums, puts the new files in place, removes the listed ones and restarts the application.
#pragma once

#include "Provenance.h"
#include "RunLock.h"
#include "RunLog.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

class TFileTransaction;
class TReadyFile;
class TRollbackStore;
class TRoom;
struct TStoreEntry;
struct TVerification;

class TUpgradeDeploy : public QObject {
    Q_OBJECT

public:
    explicit TUpgradeDeploy(QObject* parent = nullptr);

    // Ends every run: reports |message| as the error when it is not empty, restarts the
    // application (or, in a dry run, tells what it would start), closes the log and asks the
    // event loop to exit with 0, or 1 when |message| is not empty.
    void response(const QString& message);

    // Reads homeDir + "/conf.json" into newFileLoc, newFileDesc and restartProgName. On false,
    // errorMsg holds the reason.
    bool loadConfig();

    // Reads the file-description document at newFileDesc and appends its records and removal
    // entries to the lists. On false, errorMsg holds the reason, or is empty when the document
    // does not exist.
    bool loadDeployFiles(QList<TReadyFile>& files, QStringList& removeList);

    // Puts every file in place (for an all-or-nothing description, or every file back as it was,
    // see TFileTransaction) and removes the listed files. On false, errorMsg holds the reason,
    // nothing is removed and the description must stay.
    bool upgrade(
        QList<TReadyFile>& files, const QStringList& removeList, const TVerification& verification);

    // Verifies the checksums of |files| when any carries one ("State: File-Verify"). On false,
    // errorMsg holds the reason.
    bool verifyFiles(const QList<TReadyFile>& files, TVerification& verification);

    TRunLogFile logFile;
    QString errorMsg;
    QString homeDir;
    QString appName;
    QString outFileName;
    QString newFileLoc;
    QString newFileDesc;
    QString restartProgName;
    bool checkOnly = false; // "-check": tell what the run would do, do nothing
    bool programGui = false; // "-gui": restart the programs directly, not through the keeper
    bool noCommit = false; // "-no-commit": keep the previous version for -commit or -rollback
    bool commitRun = false; // "-commit": drop the previous version the store keeps
    bool rollbackRun = false; // "-rollback": put the previous version back
    // "upgrade.deploy.health" in conf.json: run after the restart, its exit 0 commits the upgrade.
    QString healthProgram;
    int healthTimeout = 60; // "upgrade.deploy.health-timeout", in seconds
    // The signature and sequence checks ("-keys=", "-state=", "-allow-downgrade").
    TProvenance provenance;
    // "all-or-nothing": true in the description: every file in place, or every file as it was.
    bool allOrNothing = false;

public slots:
    // The whole upgrade run; called once by the start-up timer.
    void start();

private:
    bool begin();
    void runStoreCommand(bool configLoaded);
    bool prepareUpgrade(
        QList<TReadyFile>& files, QStringList& removeList, TVerification& verification);
    void land();
    void readOptions();
    void startLog();
    void closeLog();
    // |sha256|, when given, gets the SHA-256 of the document's text (hex digits).
    bool parseDocument(const QString& fileName, bool blankFails, const QByteArray& loadedLine,
        const QString& parseError, QVariant& document, TProvenance* signedBy = nullptr,
        QByteArray* sha256 = nullptr);
    bool setNewFileLoc(const QString& location);
    void appendExtended(const QVariantList& elements, QList<TReadyFile>& files);
    void dropDuplicates(QList<TReadyFile>& files) const;
    // The new files put in place, each on its own or all or nothing (FileTransaction.h).
    TFileTransaction transaction() const;
    void failBeforeUpgrade(const QList<TReadyFile>& files);
    bool hasRoom(const QList<TReadyFile>& files, const QStringList& removeList,
        const TVerification& verification);
    void measureRoom(
        const QList<TReadyFile>& files, const TVerification& verification, TRoom& room) const;
    void removeFiles(const QStringList& removeList);
    void removeStateFile(const QString& relPath);
    void removeDescription();
    void checkRun(const QList<TReadyFile>& files, const QStringList& removeList,
        const TVerification& verification);
    void restart();

    // The rollback store (RollbackRun.cpp).
    bool keepPreviousVersion(const QList<TReadyFile>& files, const QStringList& removeList);
    void dropUnlandedStore();
    void measureSaved(const QList<TReadyFile>& files, const QStringList& removeList, TRoom& room);
    void endLanded();
    bool markLanded();
    bool commitStore();
    void keepOrCommit();
    void warnUnlessCommitted();
    void startNewVersion();
    void removeNotifyState();
    bool rollBackStore(bool& rolledBack);
    bool restoreEntries(const TRollbackStore& store);
    void checkRollback(const QList<TStoreEntry>& entries);
    void runCommit();
    void dropUnreadableStore(TRollbackStore& store);
    void runRollback();
    bool loadHealthSettings(const QVariant& deploy);
    bool checkHealth(QString& why);
    // Ends a run that may not go on because another run of the same home directory is going on:
    // reports |message| as the error, starts nothing (the other run restarts the application),
    // closes the log and asks the event loop to exit with 1.
    void refuse(const QString& message);
    // Ends the run as response() does; without |restartApplication| (a commit, a passed health
    // check, nothing to roll back) the application is left running as it is.
    void finish(const QString& message, bool restartApplication);

    QStringList m_unknownOptions;
    TRunLock m_lock;
    QByteArray m_descSha256; // of the description's text: ties the journal to it
};
