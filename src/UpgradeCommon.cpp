#include "UpgradeCommon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utime.h>

void logLine(const QByteArray& line)
{
    std::cout.write(line.constData(), line.size());
    std::cout << '\n';
}

namespace {

const QFile::Permissions executablePermissions = QFile::ReadOwner | QFile::WriteOwner
    | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup
    | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

QByteArray errnoText(int error)
{
    return QByteArray::number(error) + ',' + QByteArray(std::strerror(error));
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

} // namespace

THomePath::THomePath(const QString& homeDir, const QString& path)
    : m_target(homeDir + QLatin1Char('/') + path)
    // The trailing "/" makes an empty home directory the root, as every composed path has it.
    , m_home(cleanAbsolute(homeDir + QLatin1Char('/')))
    , m_absoluteTarget(cleanAbsolute(m_target))
    , m_suffix(QFileInfo(m_target).suffix())
{
}

QString THomePath::homePrefix() const
{
    return m_home.endsWith(QLatin1Char('/')) ? m_home : m_home + QLatin1Char('/');
}

bool THomePath::isInsideHome() const
{
    const QString prefix = homePrefix();
    return m_absoluteTarget.length() > prefix.length() && m_absoluteTarget.startsWith(prefix);
}

bool THomePath::isDirectlyInHome() const
{
    return QFileInfo(m_absoluteTarget).absolutePath() == m_home;
}

bool THomePath::isUnder(const QString& subdir) const
{
    return m_absoluteTarget.startsWith(homePrefix() + subdir + QLatin1Char('/'));
}

bool THomePath::isStoppable() const
{
    return (isDirectlyInHome() && m_suffix.isEmpty()) || isUnder(QStringLiteral("ext"))
        || isUnder(QStringLiteral("upgrade"));
}

bool THomePath::isExecutable() const
{
    return isStoppable()
        || (isDirectlyInHome()
            && (m_suffix == QLatin1String("so") || m_suffix == QLatin1String("sh")));
}

TReadyFile::TReadyFile(const QString& filePath, QObject* parent)
    : QObject(parent)
    , path(filePath)
{
}

TReadyFile::TReadyFile(const TReadyFile& other)
    : QObject(other.parent())
    , path(other.path)
    , modifiedTime(other.modifiedTime)
{
}

TReadyFile& TReadyFile::operator=(const TReadyFile& other)
{
    path = other.path;
    modifiedTime = other.modifiedTime;
    return *this;
}

TReadyFile::~TReadyFile() = default;

bool TReadyFile::changeFileTime(const QString& filePath)
{
    utimbuf times;
    times.actime = static_cast<time_t>(QDateTime::currentDateTime().toSecsSinceEpoch());
    times.modtime = static_cast<time_t>(modifiedTime.toSecsSinceEpoch());
    return utime(filePath.toUtf8().constData(), &times) == 0;
}

void TReadyFile::stopProcesses()
{
    if (terminate(path) > 0) {
        logLine("Warning: just kill the process, sleep 1 second");
        sleep(1);
    }
}

QString TReadyFile::deploy(const QString& newFileLoc, const QString& homeDir)
{
    if (path.isEmpty())
        return QStringLiteral("file path is empty");
    const THomePath place(homeDir, path);
    if (!place.isInsideHome())
        return QLatin1Char('\'') + path + QLatin1String("' is outside the home directory");

    const QString source = newFileLoc + QLatin1Char('/') + path;
    const QString target = place.target();
    const QString backup = target + QLatin1String(".tmp");
    const QString targetDir = QFileInfo(target).absolutePath();

    if (!QDir().mkpath(targetDir))
        return QStringLiteral("create directory '%1' failed").arg(targetDir);

    // Stop the processes first, even if the new file turns out to be missing: the caller asked
    // for this file to be replaced.
    if (place.isStoppable())
        stopProcesses();

    if (!QFile::exists(source))
        return QLatin1Char('\'') + source + QLatin1String("' not exists");

    bool backedUp = false;
    if (QFile::exists(target)) {
        if (QFile::exists(backup) && !QFile::remove(backup))
            return QLatin1String("remove '") + target + QLatin1String(".tmp' failed");
        if (!QFile::rename(target, backup))
            return QLatin1String("move'") + target + QLatin1String("' to '.tmp' failed");
        backedUp = true;
    }
    // Now the installed file, if there was one, is at the backup path and the target path is
    // free for the new file.
    if (!QFile::rename(source, target)) {
        // Put the installed file back so that the device keeps a working one; if even that
        // fails, the backup stays where it is for the next deployment to recover from.
        if (backedUp)
            QFile::rename(backup, target);
        return QLatin1String("move '") + source + QLatin1String("' to '") + homeDir
            + QLatin1String("' failed");
    }
    // The new file is in place; the old one may still be at the backup path.
    if (place.isExecutable() && !QFile::setPermissions(target, executablePermissions))
        return QLatin1String("add execution permission to '") + target + QLatin1String("' failed");

    // This also drops a backup left behind by an earlier, interrupted deployment.
    if (QFile::exists(backup) && !QFile::remove(backup))
        logLine("Warning: remove '" + target.toUtf8() + ".tmp' failed");

    if (modifiedTime.isValid() && !changeFileTime(target))
        logLine("Warning: change file '" + target.toUtf8() + "' last modification time failed");
    return QString();
}

bool TReadyFile::removeWithKill(const QString& homeDir)
{
    if (path.isEmpty())
        return false;
    const THomePath place(homeDir, path);
    if (!place.isInsideHome())
        return false;
    if (place.isStoppable())
        stopProcesses();
    return QFile::remove(place.target());
}

int TReadyFile::terminate(const QString& filePath)
{
    return terminate(filePath, QStringLiteral("/proc"));
}

int TReadyFile::terminate(const QString& filePath, const QString& procRoot)
{
    const QString fileName = QFileInfo(filePath).fileName();
    const QByteArray root = QFile::encodeName(procRoot);
    DirHandle dir(opendir(root.constData()));
    if (!dir) {
        const int error = errno;
        logLine("Warning: open " + root + " failed(" + errnoText(error) + ')');
        return -1;
    }

    const pid_t self = getpid();
    int count = 0;
    while (const dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.')
            continue;
        const std::string entryPath = root.toStdString() + '/' + name;
        struct stat status;
        if (lstat(entryPath.c_str(), &status) != 0) {
            const int error = errno;
            logLine(QByteArray("Warning: stat '") + entryPath.c_str() + "' failed("
                + errnoText(error) + ')');
            continue;
        }
        if (!S_ISDIR(status.st_mode) || name[0] < '0' || name[0] > '9')
            continue;
        const long pid = std::strtol(name, nullptr, 10);
        // The deployer may be deploying a new version of itself: never stop this run.
        if (pid <= 0 || pid == self)
            continue;

        QFile statusFile(QFile::decodeName(QByteArray(entryPath.c_str()) + "/status"));
        if (!statusFile.open(QIODevice::ReadOnly)) {
            logLine("Warning: open failed, " + statusFile.errorString().toUtf8());
            continue;
        }
        const QByteArray line = statusFile.readLine();
        const QList<QByteArray> pieces = line.split(':');
        if (pieces.size() < 2) {
            logLine("Warning: format error, '" + line + '\'');
            continue;
        }
        if (QString::fromLatin1(pieces.at(1).trimmed()) != fileName)
            continue;

        const QByteArray killed
            = fileName.toLatin1() + '(' + QByteArray::number(static_cast<qlonglong>(pid)) + ')';
        if (::kill(static_cast<pid_t>(pid), SIGTERM) == 0) {
            ++count;
            logLine("Info: kill " + killed + " ok");
        } else {
            const int error = errno;
            logLine("Warning: kill " + killed + " failed(" + errnoText(error) + ')');
        }
    }
    return count;
}
