// SPDX-License-Identifier: MIT
#include "ProcessTable.h"

#include "RunLog.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

QByteArray errnoText(int error)
{
    return QByteArray::number(error) + ',' + QByteArray(std::strerror(error));
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

} // namespace

QList<TProcess> findProcesses(const QString& fileName, const QString& procRoot, bool& ok)
{
    ok = true;
    QList<TProcess> found;
    const QByteArray root = QFile::encodeName(procRoot);
    DirHandle dir(opendir(root.constData()));
    if (!dir) {
        const int error = errno;
        logLine("Warning: open " + root + " failed(" + errnoText(error) + ')');
        ok = false;
        return found;
    }

    const pid_t self = getpid();
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
        found.append({ static_cast<pid_t>(pid), fileName });
    }
    return found;
}

int terminateProcesses(const QString& fileName, const QString& procRoot)
{
    bool ok = true;
    const QList<TProcess> processes = findProcesses(fileName, procRoot, ok);
    if (!ok)
        return -1;
    int count = 0;
    for (const TProcess& process : processes) {
        const QByteArray killed = process.name.toLatin1() + '('
            + QByteArray::number(static_cast<qlonglong>(process.pid)) + ')';
        if (::kill(process.pid, SIGTERM) == 0) {
            ++count;
            logLine("Info: kill " + killed + " ok");
        } else {
            const int error = errno;
            logLine("Warning: kill " + killed + " failed(" + errnoText(error) + ')');
        }
    }
    return count;
}
