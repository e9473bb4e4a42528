// SPDX-License-Identifier: MIT
#include "UpgradeDeploy.h"

#include "UpgradeCommon.h"
#include "json.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaType>
#include <QProcess>
#include <QTextStream>
#include <QVariant>
#include <QtGlobal>

#include <iostream>

namespace {

// Set by "-gui": restart the applications directly instead of through the keeper.
bool programGui = false;

const QLatin1String homeDirOption("-homedir=");
const QLatin1String appNameOption("-appname=");
const QLatin1String guiOption("-gui");
const QLatin1String outOption("-out=");

QByteArray utf8(const QString& text) { return text.toUtf8(); }

bool isMap(const QVariant& value) { return value.userType() == QMetaType::QVariantMap; }
bool isList(const QVariant& value) { return value.userType() == QMetaType::QVariantList; }

// A setting path that does not begin with "/" is taken under the home directory, as composed.
QString underHome(const QString& homeDir, const QString& path)
{
    return path.startsWith(QLatin1Char('/')) ? path : homeDir + QLatin1Char('/') + path;
}

// Starts |program| detached in |workingDir|. The program is passed as an absolute path: a relative
// one would otherwise be looked up again after the change into the working directory.
bool startDetached(const QString& program, const QStringList& arguments, const QString& workingDir)
{
    return QProcess::startDetached(QFileInfo(program).absoluteFilePath(), arguments, workingDir);
}

} // namespace

TUpgradeDeploy::TUpgradeDeploy(QObject* parent)
    : QObject(parent)
    , oldCoutBuf(nullptr)
    , homeDir(QStringLiteral("."))
{
}

void TUpgradeDeploy::readOptions()
{
    const QStringList arguments = QCoreApplication::arguments();
    for (const QString& argument : arguments) {
        if (argument.startsWith(homeDirOption))
            homeDir = argument.mid(homeDirOption.size());
        else if (argument.startsWith(appNameOption))
            appName = argument.mid(appNameOption.size());
        else if (argument == guiOption)
            programGui = true;
        else if (argument.startsWith(outOption))
            outFileName = argument.mid(outOption.size());
    }
}

// Sends the log into the "-out=" file. When the file cannot be opened, the log stays on the
// standard output rather than being lost, and |failed| tells the caller to say so.
void TUpgradeDeploy::openLog(bool& failed)
{
    failed = false;
    if (outFileName.isEmpty())
        return;
    logFile.open(
        QFile::encodeName(outFileName).toStdString(), std::ios_base::out | std::ios_base::app);
    if (!logFile.is_open()) {
        logFile.clear();
        failed = true;
        return;
    }
    oldCoutBuf = std::cout.rdbuf(logFile.rdbuf());
}

void TUpgradeDeploy::start()
{
    readOptions();
    bool logFailed = false;
    openLog(logFailed);

    logLine("State: Start, "
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1());
    if (logFailed)
        logLine("Warning: open log file '" + utf8(outFileName) + "' failed");
    logLine("HomeDir: " + utf8(homeDir));
    logLine("appName: " + utf8(appName));

    logLine("State: Config-Load");
    if (!loadConfig()) {
        response(errorMsg);
        return;
    }

    QList<TReadyFile> files;
    QStringList removeList;
    logLine("State: File-Desc");
    if (!loadDeployFiles(files, removeList)) {
        response(errorMsg);
        return;
    }

    logLine("State: File-Upgrade");
    deployFiles(files);
    removeFiles(removeList);
    removeStateFile(homeDir + QLatin1String("/conf/share_notify.json"));
    removeStateFile(homeDir + QLatin1String("/data/share_notify.db"));
    removeDescription();
    response(QString());
}

void TUpgradeDeploy::deployFiles(QList<TReadyFile>& files)
{
    logLine("NewFileCount: " + QByteArray::number(files.size()));
    for (TReadyFile& file : files) {
        logLine("NewFile: " + utf8(file.path));
        const QString error = file.deploy(newFileLoc, homeDir);
        if (!error.isEmpty())
            logLine("Warning: " + utf8(error));
    }
}

void TUpgradeDeploy::removeFiles(const QStringList& removeList)
{
    logLine("RemoveFileCount: " + QByteArray::number(removeList.size()));
    for (const QString& entry : removeList) {
        logLine("RemoveFile: " + utf8(entry));
        if (!TReadyFile(entry, nullptr).removeWithKill(homeDir))
            logLine("Warning: remove file '" + utf8(homeDir) + '/' + utf8(entry) + "' failed");
    }
}

void TUpgradeDeploy::removeStateFile(const QString& filePath)
{
    if (!QFile::exists(filePath))
        return;
    if (QFile::remove(filePath))
        logLine("Info: remove file '" + utf8(filePath) + "' ok");
    else
        logLine("Warning: remove file '" + utf8(filePath) + "' failed");
}

void TUpgradeDeploy::removeDescription()
{
    if (QFile::remove(newFileDesc))
        logLine("Info: remove file '" + utf8(newFileDesc) + "' ok");
    else
        logLine("Warning: remove file '" + utf8(newFileDesc) + "' failed");
}

void TUpgradeDeploy::response(const QString& message)
{
    int exitCode = 0;
    if (!message.isEmpty()) {
        logLine("Error: " + utf8(message));
        exitCode = 1;
    }
    restart();
    logLine("State: End");

    if (oldCoutBuf) {
        std::cout.rdbuf(oldCoutBuf);
        oldCoutBuf = nullptr;
    }
    if (logFile.is_open())
        logFile.close();
    QCoreApplication::exit(exitCode);
}

void TUpgradeDeploy::restart()
{
    if (appName.isEmpty()) {
        restartProgram();
        return;
    }
    QStringList arguments { QStringLiteral("-restart") };
    if (!programGui)
        arguments.append(QString());
    const QStringList names = appName.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& name : names) {
        if (!name.isEmpty())
            restartApplication(name, arguments);
    }
}

void TUpgradeDeploy::restartProgram()
{
    if (restartProgName.isEmpty())
        return;
    const THomePath home(homeDir, QString());
    if (startDetached(restartProgName, { QStringLiteral("-restart") }, home.home()))
        logLine("Info: restart-program '" + utf8(restartProgName) + "' ok");
    else
        logLine("Warning: restart-program '" + utf8(restartProgName) + "' failed");
}

void TUpgradeDeploy::restartApplication(const QString& name, QStringList& arguments)
{
    const THomePath place(homeDir, name);
    const QFileInfo target(place.target());

    if (programGui) {
        QString program = place.target();
        if (target.completeBaseName() == QLatin1String("BrivaneService"))
            program = target.absolutePath() + QLatin1String("/QuorvelService");
        else if (target.completeBaseName() == QLatin1String("Brivane"))
            program = target.absolutePath() + QLatin1String("/QuorvelBox");
        if (startDetached(program, arguments, place.home()))
            logLine("Info: restart '" + utf8(program) + "' ok");
        else
            logLine("Warning: restart '" + utf8(program) + "' failed");
        return;
    }

    const QString keeper = homeDir + QLatin1String("/QuorvelKeeper");
    logLine("Debug: keeper '" + utf8(keeper) + '\'');
    // Relative to the cleaned home directory, so that "/opt/app", "/opt/app/" and "." run from
    // /opt/app entrust the same name.
    arguments[1] = QLatin1String("-entrust=")
        + QDir(place.home()).relativeFilePath(target.absoluteFilePath());
    if (startDetached(keeper, arguments, place.home()))
        logLine("Info: restart '" + utf8(target.absoluteFilePath()) + "'(by keeper) ok");
    else
        logLine("Warning: restart '" + utf8(target.absoluteFilePath()) + "'(by keeper) failed");
}

// Reads a whole document as UTF-8, JSON's own encoding, whatever the locale; a leading byte-order
// mark is recognised and dropped.
bool TUpgradeDeploy::readDocument(const QString& fileName, QString& text)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        errorMsg = QStringLiteral("open '%1' failed: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    QTextStream stream(&file);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    stream.setEncoding(QStringConverter::Utf8);
#else
    stream.setCodec("UTF-8");
#endif
    stream.setAutoDetectUnicode(true);
    text = stream.readAll();
    file.close();
    return true;
}

bool TUpgradeDeploy::loadConfig()
{
    errorMsg.clear();
    QString text;
    if (!readDocument(homeDir + QLatin1String("/conf.json"), text))
        return false;
    logLine("Info: conf.json loaded");

    bool ok = true;
    const QVariantMap document = JsonCodec::Json::parse(text, ok).toMap();
    if (!ok) {
        errorMsg = QStringLiteral("parse 'conf.json' failed");
        return false;
    }

    const QVariant upgrade = document.value(QStringLiteral("upgrade"));
    if (!upgrade.isValid()) {
        errorMsg = QStringLiteral("no setting 'upgrade' in 'conf.json'");
        return false;
    }
    if (!isMap(upgrade)) {
        errorMsg = QStringLiteral("setting 'upgrade' format error");
        return false;
    }
    logLine("Info: conf.json parsed");

    const QVariant newArrival = upgrade.toMap().value(QStringLiteral("new-arrival"));
    if (!newArrival.isValid()) {
        errorMsg = QStringLiteral("no setting 'upgrade.new-arrival' in 'conf.json'");
        return false;
    }
    if (!isMap(newArrival)) {
        errorMsg = QStringLiteral("setting 'upgrade.new-arrival' format error");
        return false;
    }
    const QVariantMap arrival = newArrival.toMap();

    const QVariant location = arrival.value(QStringLiteral("file-location"));
    if (!location.isValid()) {
        errorMsg = QStringLiteral("no setting 'upgrade.new-arrival.file-location' in 'conf.json'");
        return false;
    }
    newFileLoc = location.toString();
    if (newFileLoc.isEmpty()) {
        errorMsg = QStringLiteral("'upgrade.new-arrival.file-location' is empty");
        return false;
    }
    if (!newFileLoc.endsWith(QLatin1Char('/')))
        newFileLoc += QLatin1Char('/');
    newFileLoc = underHome(homeDir, newFileLoc);
    logLine("NewFileLoc: '" + utf8(newFileLoc) + '\'');

    const QVariant desc = arrival.value(QStringLiteral("file-desc"));
    if (!desc.isValid()) {
        errorMsg = QStringLiteral("no setting 'upgrade.new-arrival.file-desc' in 'conf.json'");
        return false;
    }
    newFileDesc = underHome(homeDir, desc.toString());
    logLine("NewFileDesc: '" + utf8(newFileDesc) + '\'');

    const QVariant deploy = upgrade.toMap().value(QStringLiteral("deploy"));
    if (!deploy.isValid()) {
        logLine("Warning: no setting 'upgrade.deploy' in 'conf.json'");
        return true;
    }
    if (!isMap(deploy)) {
        errorMsg = QStringLiteral("setting 'upgrade.deploy' format error");
        return false;
    }
    const QVariant restartProg = deploy.toMap().value(QStringLiteral("restart"));
    if (!restartProg.isValid()) {
        logLine("Warning: no setting 'upgrade.deploy.restart' in 'conf.json'");
        return true;
    }
    restartProgName = underHome(homeDir, restartProg.toString());
    logLine("Restart-ProgName: '" + utf8(restartProgName) + '\'');
    return true;
}

bool TUpgradeDeploy::loadDeployFiles(QList<TReadyFile>& files, QStringList& removeList)
{
    errorMsg.clear();
    if (!QFile::exists(newFileDesc)) {
        logLine("Warning: file '" + utf8(newFileDesc) + "'  not exists");
        return false;
    }
    QString text;
    if (!readDocument(newFileDesc, text))
        return false;
    logLine("Info: file-desc loaded");

    bool ok = true;
    const QVariantMap document = JsonCodec::Json::parse(text, ok).toMap();
    if (!ok) {
        errorMsg = QStringLiteral("parse '%1' failed").arg(newFileDesc);
        return false;
    }

    const QVariant error = document.value(QStringLiteral("error-msg"));
    if (error.isValid()) {
        errorMsg = error.toString();
        if (!errorMsg.isEmpty())
            return false;
    }

    const QVariant plain = document.value(QStringLiteral("files"));
    if (plain.isValid()) {
        if (!isList(plain)) {
            errorMsg = QStringLiteral("setting 'files' format error");
            return false;
        }
        const QVariantList elements = plain.toList();
        for (const QVariant& element : elements)
            files.append(TReadyFile(element.toString(), nullptr));
    }

    const QVariant extended = document.value(QStringLiteral("files-ex"));
    if (extended.isValid()) {
        if (!isList(extended)) {
            errorMsg = QStringLiteral("setting 'files-ex' format error");
            return false;
        }
        const QVariantList elements = extended.toList();
        for (const QVariant& element : elements) {
            if (!isMap(element))
                continue;
            const QVariantMap object = element.toMap();
            if (!object.contains(QStringLiteral("path")))
                continue;
            TReadyFile record(object.value(QStringLiteral("path")).toString(), nullptr);
            if (record.path.isEmpty())
                continue;
            if (object.contains(QStringLiteral("modified-time")))
                record.modifiedTime = QDateTime::fromString(
                    object.value(QStringLiteral("modified-time")).toString(),
                    QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            files.append(record);
        }
    }

    const QVariant removal = document.value(QStringLiteral("files-remove"));
    if (!removal.isValid())
        return true;
    if (!isList(removal)) {
        errorMsg = QStringLiteral("setting 'files-remove' format error");
        return false;
    }
    const QVariantList entries = removal.toList();
    for (const QVariant& entry : entries)
        removeList.append(entry.toString());
    return true;
}
