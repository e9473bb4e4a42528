// SPDX-License-Identifier: MIT
#include "UpgradeCommon.h"

#include "FileReplacement.h"
#include "ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

TReadyFile::TReadyFile(const QString& filePath, QObject* parent)
    : QObject(parent)
    , path(filePath)
{
}

TReadyFile::TReadyFile(const TReadyFile& other)
    : QObject(other.parent())
    , path(other.path)
    , modifiedTime(other.modifiedTime)
    , sha256(other.sha256)
{
}

TReadyFile& TReadyFile::operator=(const TReadyFile& other)
{
    path = other.path;
    modifiedTime = other.modifiedTime;
    sha256 = other.sha256;
    return *this;
}

TReadyFile::~TReadyFile() = default;

bool TReadyFile::changeFileTime(const QString& filePath)
{
    return setFileTime(filePath, modifiedTime);
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

    TReplacement replacement;
    replacement.source = newFileLoc + QLatin1Char('/') + path;
    replacement.target = place.target();
    replacement.homeDir = homeDir;
    replacement.executable = place.isExecutable();
    replacement.modifiedTime = modifiedTime;

    const QString targetDir = QFileInfo(replacement.target).absolutePath();
    if (!QDir().mkpath(targetDir))
        return QStringLiteral("create directory '%1' failed").arg(targetDir);

    // Stop the processes first, even if the new file turns out to be missing: the caller asked
    // for this file to be replaced.
    if (place.isStoppable())
        stopProcesses();

    if (!QFile::exists(replacement.source))
        return QLatin1Char('\'') + replacement.source + QLatin1String("' not exists");
    return replaceFile(replacement);
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
    return terminateProcesses(QFileInfo(filePath).fileName(), procRoot);
}
