// SPDX-License-Identifier: MIT
// The controller's side of the rollback store: keeping the previous version while an upgrade runs,
// committing it, rolling back to it, and the health check that decides between the two.
//
// The states of an upgrade and what each leaves on disk (see RollbackStore.h for the store):
//   landed       the new files in place; "<home>/.upgrade-rollback/" holds the previous version
//                and a manifest in state "landed" (-no-commit, or a health check still running)
//   committed    the new files in place; no store
//   rolled back  the previous files back in place, the fresh ones gone; no store
// An upgrade without "-no-commit" and without a health check is committed as it lands, and then
// keeps no store at all.
#include "Checksum.h"
#include "FileReplacement.h"
#include "HealthCheck.h"
#include "HomePath.h"
#include "RollbackStore.h"
#include "Room.h"
#include "UpgradeCommon.h"
#include "UpgradeDeploy.h"

#include <QDir>
#include <QVariant>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const int longestHealthTimeout = 24 * 60 * 60;

QByteArray quoted(const QString& text) { return '\'' + logText(text) + '\''; }

QString refusal(const TRollbackStore& store)
{
    return QLatin1String("the upgrade kept in '") + store.path()
        + QLatin1String("' is not committed: run UpgradeDeploy -commit or UpgradeDeploy "
                        "-rollback first");
}

bool isNumber(const QVariant& value)
{
    const int type = value.userType();
    return type == QMetaType::Double || type == QMetaType::Int || type == QMetaType::LongLong
        || type == QMetaType::UInt || type == QMetaType::ULongLong;
}

} // namespace

// Before the first change of the run. A store that an earlier upgrade left uncommitted refuses the
// run; one that a cut-off run of this same description left is kept as it is (the paths may hold
// new files by now, so saving them again would lose the previous version).
bool TUpgradeDeploy::keepPreviousVersion(
    const QList<TReadyFile>& files, const QStringList& removeList)
{
    TRollbackStore store(homeDir);
    if (!store.load(errorMsg)) {
        if (store.isMalformed())
            errorMsg += QLatin1String("; UpgradeDeploy -commit drops it");
        return false;
    }
    const bool keep = noCommit || !healthProgram.isEmpty();
    QString error;
    const QByteArray sum = store.state() == TStoreState::None && !keep
        ? QByteArray()
        : fileSha256(newFileDesc, error);
    if (store.state() != TStoreState::None && store.state() != TStoreState::RollingBack
        && !sum.isEmpty() && store.descriptionSum() == sum) {
        logLine("Info: previous version already kept in " + quoted(store.path()));
        return true;
    }
    if (store.state() != TStoreState::None) {
        errorMsg = refusal(store);
        return false;
    }
    if (!keep || checkOnly)
        return true;
    if (sum.isEmpty()) {
        errorMsg = error;
        return false;
    }
    QStringList paths;
    for (const TReadyFile& file : files)
        paths.append(file.path);
    if (!store.save(sum, paths, removeList, errorMsg))
        return false;
    logLine("Info: previous version kept in " + quoted(store.path()));
    return true;
}

// The copies a store will keep count against the room of the home directory's file system (hard
// links cost nothing).
void TUpgradeDeploy::measureSaved(
    const QList<TReadyFile>& files, const QStringList& removeList, TRoom& room)
{
    if (!noCommit && healthProgram.isEmpty())
        return;
    for (const TReadyFile& file : files)
        room.addSaved(homeDir, file.path);
    for (const QString& path : removeList)
        room.addSaved(homeDir, path);
}

// An all-or-nothing run that failed has put every file back: the previous version is in place.
void TUpgradeDeploy::dropUnlandedStore()
{
    QString error;
    if (!TRollbackStore(homeDir).drop(error))
        logLine("Warning: " + logText(error));
}

bool TUpgradeDeploy::markLanded()
{
    TRollbackStore store(homeDir);
    if (!store.load(errorMsg))
        return false;
    return store.state() == TStoreState::None || store.setState(TStoreState::Landed, errorMsg);
}

// The run has landed and the description is gone. With a health check the new version is started
// and the check decides: a failing one puts the previous version back. A passing check, or none,
// commits the upgrade, unless "-no-commit" leaves that to a later -commit or -rollback.
void TUpgradeDeploy::endLanded()
{
    if (healthProgram.isEmpty()) {
        keepOrCommit();
        response(QString());
        return;
    }
    startNewVersion();
    QString why;
    if (checkHealth(why)) {
        keepOrCommit();
        finish(QString(), false);
        return;
    }
    logLine("State: Rollback");
    bool rolledBack = false;
    QString message = QLatin1String("health check failed: ") + why;
    if (!rollBackStore(rolledBack))
        message += QLatin1String("; ") + errorMsg;
    response(message);
}

void TUpgradeDeploy::keepOrCommit()
{
    if (noCommit)
        logLine("Info: upgrade landed, not committed");
    else
        warnUnlessCommitted();
}

// Drops the previous version. A store that is not there is nothing to drop. On false, errorMsg
// holds the reason. The package's sequence needs no record here: it was stored when the upgrade
// landed, so that no older package is taken while this one waits for its commit, nor after it is
// rolled back.
bool TUpgradeDeploy::commitStore()
{
    TRollbackStore store(homeDir);
    if (!store.load(errorMsg))
        return false;
    const bool kept = store.isPresent();
    if (!store.drop(errorMsg))
        return false;
    if (kept)
        logLine("Info: upgrade committed");
    return true;
}

// The upgrade itself has landed: a store left behind is told, and the next upgrade refuses it
// until -commit or -rollback clears it.
void TUpgradeDeploy::warnUnlessCommitted()
{
    if (!commitStore())
        logLine("Warning: " + logText(errorMsg));
    errorMsg.clear();
}

// Puts the previous version back, journaled by the store: its state becomes "rolling-back" first
// (on disk), and from then on the rollback is only ever finished, never undone; every step is
// repeatable, so a run cut off at any instant is finished by the next -rollback. The store goes
// once every path is back and on disk. |rolledBack| is false when there was nothing to roll back.
bool TUpgradeDeploy::rollBackStore(bool& rolledBack)
{
    TRollbackStore store(homeDir);
    rolledBack = false;
    if (!store.load(errorMsg))
        return false;
    if (store.state() == TStoreState::None)
        return store.drop(errorMsg);
    rolledBack = true;
    if (store.state() != TStoreState::RollingBack
        && !store.setState(TStoreState::RollingBack, errorMsg))
        return false;
    // Now the store says "rolling-back": -commit refuses it, and so does an upgrade. Power cut
    // from here on: each path holds the new file or the old one (a saved file renamed back has
    // left the store), each fresh path the new file or nothing; the repeat goes on from there.
    const bool restored = restoreEntries(store);
    removeNotifyState();
    // Every path is back on disk before the store, the record of what is left to do, goes.
    flushFileSystems({ homeDir });
    // Power cut from here on: the old version is on disk; a store is left with its manifest
    // (the repeat finds every saved file gone and drops it) or without (it means nothing).
    if (!restored) {
        errorMsg = QLatin1String("rollback incomplete: run UpgradeDeploy -rollback again");
        return false;
    }
    return store.drop(errorMsg);
}

// Last path first, as the run placed them; a program's processes are stopped before its file
// is put back or deleted.
bool TUpgradeDeploy::restoreEntries(const TRollbackStore& store)
{
    const QList<TStoreEntry>& entries = store.entries();
    QString error;
    bool restored = true;
    for (int i = entries.size() - 1; i >= 0; --i) {
        const TStoreEntry& entry = entries.at(i);
        const THomePath place(homeDir, entry.path);
        if (place.isStoppable())
            TReadyFile(entry.path).stopProcesses();
        const QByteArray what = entry.kind == TStoreEntry::Fresh ? "remove " : "restore ";
        if (store.restore(entry, error)) {
            logLine("Info: " + what + quoted(place.target()) + " ok");
        } else {
            logLine("Warning: " + logText(error));
            restored = false;
        }
    }
    return restored;
}

void TUpgradeDeploy::checkRollback(const QList<TStoreEntry>& entries)
{
    for (int i = entries.size() - 1; i >= 0; --i) {
        const TStoreEntry& entry = entries.at(i);
        const QByteArray what = entry.kind == TStoreEntry::Fresh ? "remove " : "restore ";
        logLine("Check: " + what + quoted(THomePath(homeDir, entry.path).target()));
    }
}

// Commits a landed upgrade. A store still installing (a cut-off run) or rolling back is refused:
// committing it would keep a version that is neither the old one nor the new one.
void TUpgradeDeploy::runCommit()
{
    logLine("State: Commit");
    TRollbackStore store(homeDir);
    if (!store.load(errorMsg)) {
        if (store.isMalformed())
            dropUnreadableStore(store);
        else
            finish(errorMsg, false);
        return;
    }
    if (store.state() == TStoreState::Installing) {
        finish(QLatin1String("the upgrade kept in '") + store.path()
                + QLatin1String(
                    "' has not landed: run the upgrade again, or UpgradeDeploy -rollback"),
            false);
        return;
    }
    if (store.state() == TStoreState::RollingBack) {
        finish(QLatin1String("a rollback from '") + store.path()
                + QLatin1String("' is under way: run UpgradeDeploy -rollback to finish it"),
            false);
        return;
    }
    if (store.state() == TStoreState::None) {
        logLine("Info: nothing to commit");
        // A store a cut-off drop left without its manifest is removed all the same.
        if (!checkOnly && !store.drop(errorMsg))
            logLine("Warning: " + logText(errorMsg));
        finish(QString(), false);
        return;
    }
    if (checkOnly)
        logLine("Check: remove " + quoted(store.path()));
    finish(checkOnly || commitStore() ? QString() : errorMsg, false);
}

// A store whose manifest is malformed cannot be rolled back, and would refuse every upgrade:
// committing drops it (never through a link: a store that is one cannot be opened to drop). One
// that cannot be read now (an I/O error) is left: it may be a rollback under way.
void TUpgradeDeploy::dropUnreadableStore(TRollbackStore& store)
{
    logLine("Warning: " + logText(errorMsg));
    if (checkOnly) {
        logLine("Check: remove " + quoted(store.path()));
        finish(QString(), false);
        return;
    }
    errorMsg.clear();
    if (store.drop(errorMsg))
        logLine("Info: remove " + quoted(store.path()) + " ok");
    finish(errorMsg, false);
}

void TUpgradeDeploy::runRollback()
{
    TRollbackStore store(homeDir);
    if (checkOnly) {
        if (!store.load(errorMsg)) {
            finish(errorMsg, false);
            return;
        }
        logLine("State: Rollback");
        if (store.state() == TStoreState::None)
            logLine("Info: nothing to roll back");
        checkRollback(store.entries());
        finish(QString(), store.state() != TStoreState::None);
        return;
    }
    logLine("State: Rollback");
    bool rolledBack = false;
    const bool ok = rollBackStore(rolledBack);
    if (ok && !rolledBack)
        logLine("Info: nothing to roll back");
    finish(ok ? QString() : errorMsg, rolledBack);
}

bool TUpgradeDeploy::loadHealthSettings(const QVariant& deploy)
{
    const QVariantMap settings = deploy.toMap();
    const QVariant program = settings.value(QStringLiteral("health"));
    const QVariant timeout = settings.value(QStringLiteral("health-timeout"));
    if (program.isValid() && !program.isNull()) {
        if (program.userType() != QMetaType::QString || program.toString().isEmpty()) {
            errorMsg = QStringLiteral("setting 'upgrade.deploy.health' format error");
            return false;
        }
        healthProgram = program.toString();
        const QString shown = healthProgram.startsWith(QLatin1Char('/'))
            ? healthProgram
            : homeDir + QLatin1Char('/') + healthProgram;
        logLine("Health-ProgName: " + quoted(shown));
    }
    if (timeout.isValid() && !timeout.isNull()) {
        const double seconds = timeout.toDouble();
        if (!isNumber(timeout) || seconds < 1 || seconds > longestHealthTimeout
            || seconds != static_cast<int>(seconds)) {
            errorMsg = QStringLiteral("setting 'upgrade.deploy.health-timeout' format error");
            return false;
        }
        healthTimeout = static_cast<int>(seconds);
    }
    return true;
}

// The health program is confined like every file of the run: it must lie inside the home
// directory once every link on the way is resolved, and be a regular file there.
bool TUpgradeDeploy::checkHealth(QString& why)
{
    logLine("State: Health-Check");
    const QDir home(THomePath(homeDir, QString()).home());
    const THomePath place(homeDir, home.relativeFilePath(home.absoluteFilePath(healthProgram)));
    TFileAt at;
    int error = 0;
    struct stat st { };
    if (!place.isInsideHome() || place.lookAt(at, st, error) != TPlace::Ok
        || !S_ISREG(st.st_mode)) {
        why = QLatin1Char('\'') + place.target()
            + QLatin1String("' is not a program inside the home directory");
        return false;
    }
    if (!runHealthCheck(place.target(), home.path(), healthTimeout, why))
        return false;
    logLine("Info: health check " + quoted(place.target()) + " ok");
    return true;
}
