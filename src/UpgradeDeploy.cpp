// SPDX-License-Identifier: MIT
#include "UpgradeDeploy.h"

#include "Description.h"
#include "Document.h"
#include "DryRun.h"
#include "FileReplacement.h"
#include "FileTime.h"
#include "FileTransaction.h"
#include "HomePath.h"
#include "Options.h"
#include "ProgramStart.h"
#include "Restart.h"
#include "Room.h"
#include "UpgradeCommon.h"
#include "Verify.h"
#include "json.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QVariant>
#include <QtGlobal>

#include <cerrno>

#include <unistd.h>

namespace {

// The application's notification state, kept under its home directory. It describes the
// installed version, so every run that gets past both documents deletes it and the restarted
// application builds it anew.
const QLatin1String notifyStateFiles[]
    = { QLatin1String("conf/share_notify.json"), QLatin1String("data/share_notify.db") };

// Every described time is local time. With TZ unset, glibc looks at /etc/localtime again at each
// conversion, and Qt converts a described time several times: a stat each, nine per file. Naming
// that same file in TZ lets glibc read it once for the run. The environment is put back before any
// program is started, so the restarted application gets the environment the run was given.
class TPinnedTimeZone {
public:
    void pin()
    {
        if (!qEnvironmentVariableIsSet("TZ"))
            m_pinned = qputenv("TZ", QByteArrayLiteral(":/etc/localtime"));
    }
    void release()
    {
        if (m_pinned)
            qunsetenv("TZ");
        m_pinned = false;
    }

private:
    bool m_pinned = false;
};

TPinnedTimeZone pinnedTimeZone;

QByteArray quoted(const QString& text) { return '\'' + logText(text) + '\''; }

// Escaped, as every outside text in a log line.
QByteArray utf8(const QString& text) { return logText(text); }

// A setting path that does not begin with "/" is taken under the home directory, as composed.
QString underHome(const QString& homeDir, const QString& path)
{
    return path.startsWith(QLatin1Char('/')) ? path : homeDir + QLatin1Char('/') + path;
}

// A described time in the hour that a change to daylight-saving time skips names no moment at
// all: it is not applied, and the file keeps its own time.
QDateTime readTime(const QString& text, const QString& path)
{
    bool inGap = false;
    const QDateTime time = describedTime(text, inGap);
    if (inGap)
        logLine("Warning: modified-time " + quoted(text) + " of " + quoted(path)
            + " does not exist in local time, the file keeps its own");
    return time;
}

} // namespace

TUpgradeDeploy::TUpgradeDeploy(QObject* parent)
    : QObject(parent)
    , homeDir(QStringLiteral("."))
{
}

void TUpgradeDeploy::readOptions()
{
    const TOptions options = parseOptions(QCoreApplication::arguments());
    homeDir = options.homeDir;
    appName = options.appName;
    programGui = options.gui;
    outFileName = options.outFileName;
    checkOnly = provenance.checkOnly = options.check;
    noCommit = options.noCommit;
    commitRun = options.commit;
    rollbackRun = options.rollback;
    provenance.keysDir = options.keysDir;
    provenance.stateDir = options.stateDir;
    provenance.allowDowngrade = options.allowDowngrade;
    m_unknownOptions = options.unknown;
}

// Sends the log into the "-out=" file. When the file cannot be opened, the log stays on the
// standard output rather than being lost, and says so.
void TUpgradeDeploy::startLog()
{
    QString reason;
    const bool failed = !outFileName.isEmpty() && !logFile.open(outFileName, reason);

    logLine("State: Start, "
        + QDateTime::currentDateTime().toString(description::timeFormat).toLatin1());
    if (failed)
        logLine("Warning: open log file " + quoted(outFileName) + " failed");
    logLine("HomeDir: " + logText(homeDir));
    logLine("appName: " + logText(appName));
    for (const QString& argument : qAsConst(m_unknownOptions))
        logLine("Warning: unknown option " + quoted(argument) + " ignored");
}

// The log file's last lines, its sync to disk and its close can fail too: that is told on the
// standard output, where the log goes when it has no file. The exit status stays the run's own.
void TUpgradeDeploy::closeLog()
{
    QString reason;
    if (!logFile.close(reason))
        logLine("Warning: close log file " + quoted(outFileName) + " failed: " + logText(reason));
}

// The options, the log and the lock of the home directory, taken before anything of it is read: a
// run going on there may be halfway. False when the lock is not had; the run has then ended.
bool TUpgradeDeploy::begin()
{
    pinnedTimeZone.pin();
    readOptions();
    startLog();
    if (m_lock.acquire(homeDir, errorMsg))
        return true;
    refuse(errorMsg);
    return false;
}

void TUpgradeDeploy::start()
{
    if (!begin())
        return;

    logLine("State: Config-Load");
    const bool configLoaded = loadConfig();
    if (commitRun || rollbackRun) {
        runStoreCommand(configLoaded);
        return;
    }
    if (!configLoaded) {
        response(errorMsg);
        return;
    }

    QList<TReadyFile> files;
    QStringList removeList;
    TVerification verification;
    if (!prepareUpgrade(files, removeList, verification))
        return;
    if (checkOnly) {
        checkRun(files, removeList, verification);
        response(QString());
        return;
    }

    logLine("State: File-Upgrade");
    if (!upgrade(files, removeList, verification)) {
        // Every file the run put in place is back as it was: that is on disk before the
        // application starts again. The description stays for the server to send again.
        flushFileSystems({ homeDir, newFileLoc, QFileInfo(newFileDesc).path() });
        dropUnlandedStore();
        response(errorMsg);
        return;
    }
    land();
}

// "-commit" or "-rollback". The previous version is put back or dropped even when conf.json is
// unreadable now (it may be the new version's); only the restart program of conf.json is then
// unknown.
void TUpgradeDeploy::runStoreCommand(bool configLoaded)
{
    if (!configLoaded)
        logLine("Warning: " + logText(errorMsg));
    errorMsg.clear();
    if (commitRun && rollbackRun)
        finish(QStringLiteral("-commit and -rollback exclude each other"), false);
    else
        commitRun ? runCommit() : runRollback();
}

// Everything before the first change: the description read, its checksums verified, the room
// measured, and the previous version kept in the rollback store (when it is to be kept; not in a
// dry run), or the run refused on top of an upgrade that is not committed. False when the run has
// ended.
bool TUpgradeDeploy::prepareUpgrade(
    QList<TReadyFile>& files, QStringList& removeList, TVerification& verification)
{
    logLine("State: File-Desc");
    if (!loadDeployFiles(files, removeList)) {
        response(errorMsg);
        return false;
    }
    if (!verifyFiles(files, verification)
        || (!checkOnly && !hasRoom(files, removeList, verification))) {
        failBeforeUpgrade(files);
        return false;
    }
    if (!keepPreviousVersion(files, removeList)) {
        response(errorMsg);
        return false;
    }
    return true;
}

// The upgrade is in place: its sequence recorded, the store marked landed, the description gone.
void TUpgradeDeploy::land()
{
    // The landed package's sequence is on disk before its description goes: a run cut off in
    // between finds the description again, at the recorded sequence, and resumes it. A sequence
    // that cannot be stored keeps the description too, so that the next run stores it.
    if (!provenance.record(errorMsg)) {
        flushFileSystems({ homeDir, newFileLoc });
        response(errorMsg);
        return;
    }
    // The store says "landed" before the description goes: a run cut off in between finds the
    // description and the store of the same description, and goes on from there.
    if (!markLanded())
        logLine("Warning: " + logText(errorMsg));
    removeDescription();
    // Every rename and removal of the run is on disk before the application starts on them.
    flushFileSystems({ homeDir, newFileLoc, QFileInfo(newFileDesc).path() });
    endLanded();
}

// Adds up the room the new files need on each file system (see TRoom), in path order so that
// each directory is resolved once.
void TUpgradeDeploy::measureRoom(
    const QList<TReadyFile>& files, const TVerification& verification, TRoom& room) const
{
    for (const int i : inPathOrder(files)) {
        if (!verification.inPlace.contains(i))
            room.add(homeDir, newFileLoc, files.at(i).path);
    }
}

// Room for every new file before the first change: a disk that fills halfway leaves half an
// upgrade. On false, errorMsg tells where it is short.
bool TUpgradeDeploy::hasRoom(const QList<TReadyFile>& files, const QStringList& removeList,
    const TVerification& verification)
{
    TRoom room;
    measureRoom(files, verification, room);
    // The copies the rollback store will keep count too (hard links cost nothing).
    measureSaved(files, removeList, room);
    return room.check(errorMsg);
}

// Nothing of this run has moved, but a cut-off run of the same upgrade may have put some files in
// place: all or nothing holds for it too.
void TUpgradeDeploy::failBeforeUpgrade(const QList<TReadyFile>& files)
{
    if (allOrNothing && !checkOnly && transaction().undoCutOffRun(files) > 0) {
        errorMsg = QLatin1String("rolled back: ") + errorMsg;
        flushFileSystems({ homeDir, QFileInfo(newFileDesc).path() });
    }
    response(errorMsg);
}

bool TUpgradeDeploy::upgrade(
    QList<TReadyFile>& files, const QStringList& removeList, const TVerification& verification)
{

    // The new files are on disk before the first rename makes the application rely on them.
    flushFileSystems({ homeDir, newFileLoc });
    if (allOrNothing) {
        if (!transaction().deployAllOrNothing(files, verification, errorMsg))
            return false;
    } else {
        transaction().deployEachFile(files, verification);
    }
    removeFiles(removeList);
    removeNotifyState();
    return true;
}

void TUpgradeDeploy::removeNotifyState()
{
    for (const QLatin1String& stateFile : notifyStateFiles)
        removeStateFile(stateFile);
}

bool TUpgradeDeploy::verifyFiles(const QList<TReadyFile>& files, TVerification& verification)
{
    if (!hasChecksums(files))
        return true;
    logLine("State: File-Verify");
    if (!verifyChecksums(files, newFileLoc, homeDir, verification, errorMsg))
        return false;
    logLine("Info: sha256 verified " + QByteArray::number(verification.verified) + " files");
    return true;
}

TFileTransaction TUpgradeDeploy::transaction() const
{
    return TFileTransaction(homeDir, newFileLoc, newFileDesc, m_descSha256);
}

void TUpgradeDeploy::removeFiles(const QStringList& removeList)
{
    logLine("RemoveFileCount: " + QByteArray::number(removeList.size()));
    for (const QString& entry : removeList) {
        logLine("RemoveFile: " + logText(entry));
        if (!TReadyFile(entry, nullptr).removeWithKill(homeDir))
            logLine(
                "Warning: remove file " + quoted(homeDir + QLatin1Char('/') + entry) + " failed");
    }
}

// Removes the state file at |relPath| under the home directory when it is there, confined like
// every file operation of the run: a link is removed as a link, and a directory on the way that
// leads out of the home directory makes the removal fail.
void TUpgradeDeploy::removeStateFile(const QString& relPath)
{
    const THomePath place(homeDir, relPath);
    TFileAt at;
    int error = 0;
    const TPlace found = place.openAt(false, at, error);
    // A directory on the way that is missing, or is a file, holds no state file.
    if (found == TPlace::Missing || (found == TPlace::Failed && error == ENOTDIR))
        return;
    if (found == TPlace::Ok && ::unlinkat(at.dir.fd, at.name.constData(), 0) == 0) {
        logLine("Info: remove file '" + utf8(place.target()) + "' ok");
        return;
    }
    if (found == TPlace::Ok && errno == ENOENT)
        return;
    logLine("Warning: remove file '" + utf8(place.target()) + "' failed");
}

void TUpgradeDeploy::removeDescription()
{
    logOutcome(QFile::remove(newFileDesc), "remove file " + quoted(newFileDesc));
}

// The dry run: every action as a "Check: " line, in the order the run would take them.
void TUpgradeDeploy::checkRun(const QList<TReadyFile>& files, const QStringList& removeList,
    const TVerification& verification)
{
    checkDeploy(files, verification, newFileLoc, homeDir);
    TRoom room;
    measureRoom(files, verification, room);
    checkRoom(room);
    checkRemovals(removeList, homeDir);
    for (const QLatin1String& stateFile : notifyStateFiles)
        checkRemoveStateFile(homeDir, stateFile);
    QString ignored;
    provenance.record(ignored);
    checkRemoveIfExists(newFileDesc);
}

void TUpgradeDeploy::response(const QString& message) { finish(message, true); }

void TUpgradeDeploy::refuse(const QString& message) { finish(message, false); }

void TUpgradeDeploy::finish(const QString& message, bool restartApplication)
{
    if (!message.isEmpty())
        logLine("Error: " + logText(message));
    pinnedTimeZone.release();
    if (restartApplication)
        restart();
    // The programs are started: the next run may begin, as it would after the exit.
    m_lock.release();
    logLine("State: End");
    closeLog();
    QCoreApplication::exit(message.isEmpty() ? 0 : 1);
}

// Starts the version just landed, for its health check; the run's environment is put back first.
void TUpgradeDeploy::startNewVersion()
{
    pinnedTimeZone.release();
    restart();
}

void TUpgradeDeploy::restart()
{
    restartApplication({ homeDir, appName, restartProgName, programGui, checkOnly });
}

// Reads and parses one document. A blank text fails when |blankFails|: it is what a failed
// transfer leaves, never a document to act on. With |signedBy|, the bytes read must pass its
// signature check before they are parsed.
bool TUpgradeDeploy::parseDocument(const QString& fileName, bool blankFails,
    const QByteArray& loadedLine, const QString& parseError, QVariant& document,
    TProvenance* signedBy, QByteArray* sha256)
{
    QByteArray data;
    if (!readDocumentBytes(fileName, -1, false, data, errorMsg))
        return false;
    logLine(loadedLine);
    if (signedBy && !signedBy->checkSignature(fileName, data, errorMsg))
        return false;
    const QString text = decodeDocument(data);
    if (sha256)
        *sha256 = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
    bool ok = !(blankFails && isBlankDocument(text));
    if (ok)
        document = JsonCodec::Json::parse(text, ok);
    if (!ok)
        errorMsg = parseError;
    return ok;
}

bool TUpgradeDeploy::setNewFileLoc(const QString& location)
{
    newFileLoc = location;
    if (newFileLoc.isEmpty()) {
        errorMsg = QStringLiteral("'upgrade.new-arrival.file-location' is empty");
        return false;
    }
    if (!newFileLoc.endsWith(QLatin1Char('/')))
        newFileLoc += QLatin1Char('/');
    newFileLoc = underHome(homeDir, newFileLoc);
    logLine("NewFileLoc: " + quoted(newFileLoc));
    return true;
}

bool TUpgradeDeploy::loadConfig()
{
    errorMsg.clear();
    QVariant document, upgrade, arrival, location, desc, deploy, restartProg;
    if (!parseDocument(homeDir + QLatin1String("/conf.json"), false, "Info: conf.json loaded",
            QStringLiteral("parse 'conf.json' failed"), document))
        return false;
    TSettings conf(document, QStringLiteral("conf.json"), errorMsg);
    if (!conf.required(QStringLiteral("upgrade"), TSettings::Object, upgrade))
        return false;
    logLine("Info: conf.json parsed");
    if (!conf.required(QStringLiteral("upgrade.new-arrival"), TSettings::Object, arrival)
        || !conf.required(
            QStringLiteral("upgrade.new-arrival.file-location"), TSettings::Text, location)
        || !setNewFileLoc(location.toString())
        || !conf.required(QStringLiteral("upgrade.new-arrival.file-desc"), TSettings::Text, desc))
        return false;
    newFileDesc = underHome(homeDir, desc.toString());
    logLine("NewFileDesc: " + quoted(newFileDesc));

    if (!conf.optional(QStringLiteral("upgrade.deploy"), TSettings::Object, deploy))
        return false;
    if (!deploy.isValid()) {
        conf.warnMissing(QStringLiteral("upgrade.deploy"));
        return true;
    }
    if (!loadHealthSettings(deploy))
        return false;
    conf.optional(QStringLiteral("upgrade.deploy.restart"), TSettings::Text, restartProg);
    if (!restartProg.isValid()) {
        conf.warnMissing(QStringLiteral("upgrade.deploy.restart"));
        return true;
    }
    restartProgName = underHome(homeDir, restartProg.toString());
    logLine("Restart-ProgName: " + quoted(restartProgName));
    return true;
}

// A "files-ex" element gives a record when it is an object with a non-empty "path". Its keys are
// looked for by presence: a null "modified-time" gives an invalid time, a null "sha256" a
// malformed checksum.
void TUpgradeDeploy::appendExtended(const QVariantList& elements, QList<TReadyFile>& files)
{
    for (const QVariant& element : elements) {
        const QVariantMap object = element.toMap();
        if (element.userType() != QMetaType::QVariantMap
            || object.value(description::path).toString().isEmpty())
            continue;
        TReadyFile record(object.value(description::path).toString(), nullptr);
        if (object.contains(description::modifiedTime))
            record.modifiedTime
                = readTime(object.value(description::modifiedTime).toString(), record.path);
        if (object.contains(description::sha256)) {
            const QString sum = object.value(description::sha256).toString();
            record.sha256 = sum.isEmpty() ? QStringLiteral("") : sum; // never null: it is there
        }
        files.append(record);
    }
}

bool TUpgradeDeploy::loadDeployFiles(QList<TReadyFile>& files, QStringList& removeList)
{
    errorMsg.clear();
    if (!QFile::exists(newFileDesc)) {
        logLine("Warning: file " + quoted(newFileDesc) + "  not exists");
        return false;
    }
    QVariant document, error, plain, extended, removal;
    if (!parseDocument(newFileDesc, true, "Info: file-desc loaded",
            QStringLiteral("parse '%1' failed").arg(newFileDesc), document, &provenance,
            &m_descSha256))
        return false;
    TSettings desc(document, newFileDesc, errorMsg);
    desc.optional(description::errorMessage, TSettings::Text, error);
    errorMsg = error.toString();
    if (!errorMsg.isEmpty())
        return false;
    if (!desc.optional(description::files, TSettings::List, plain))
        return false;
    const QVariantList elements = plain.toList();
    for (const QVariant& element : elements)
        files.append(TReadyFile(element.toString(), nullptr));
    if (!desc.optional(description::filesEx, TSettings::List, extended))
        return false;
    appendExtended(extended.toList(), files);
    if (!desc.optional(description::filesRemove, TSettings::List, removal))
        return false;
    const QVariantList entries = removal.toList();
    for (const QVariant& entry : entries)
        removeList.append(entry.toString());
    QVariant allOrNothingKey;
    if (!desc.optional(description::allOrNothing, TSettings::Flag, allOrNothingKey))
        return false;
    allOrNothing = allOrNothingKey.toBool();
    dropDuplicates(files);
    return provenance.checkSequence(document, newFileDesc, homeDir, errorMsg);
}

// Entries that name one file once cleaned ("lib/a", "/lib/./a", "lib//a") would put it in place
// twice: the second finds its new file gone, and in an all-or-nothing run takes the first one's
// backup for its own and undoes the whole upgrade over it. The first entry stays, with its time
// and checksum; each later one is a warning. Linear: the cleaned paths seen go to a hash set.
void TUpgradeDeploy::dropDuplicates(QList<TReadyFile>& files) const
{
    QSet<QString> seen;
    seen.reserve(files.size());
    QList<TReadyFile> kept;
    kept.reserve(files.size());
    for (const TReadyFile& file : qAsConst(files)) {
        const THomePath place(homeDir, file.path);
        // An entry that names no file in home (empty, outside, "a/") fails on its own, each with
        // its own line: only the entries the run can put in place are compared.
        const bool placeable
            = !file.path.isEmpty() && place.isInsideHome() && !place.nameIsDirectory();
        const QString key = place.absoluteTarget();
        if (placeable && seen.contains(key)) {
            logLine("Warning: " + quoted(file.path) + " is listed more than once");
            continue;
        }
        if (placeable)
            seen.insert(key);
        kept.append(file);
    }
    if (kept.size() != files.size())
        files = kept;
}
