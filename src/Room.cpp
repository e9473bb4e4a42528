// SPDX-License-Identifier: MIT
#include "Room.h"

#include "HomePath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

TRoom::TFileSystem* TRoom::fileSystemOf(dev_t device, int dirFd, const QString& dir)
{
    for (TFileSystem& fileSystem : m_fileSystems) {
        if (fileSystem.device == device)
            return &fileSystem;
    }
    // Unknown room is no reason to refuse: the file system then reports a full disk itself, which
    // the replacement survives with the installed file as it was.
    struct statvfs vfs { };
    TFileSystem fileSystem;
    fileSystem.device = device;
    fileSystem.dir = dir;
    if (::fstatvfs(dirFd, &vfs) == 0) {
        fileSystem.blockSize = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
        fileSystem.available = static_cast<quint64>(vfs.f_bavail) * fileSystem.blockSize;
    } else {
        fileSystem.available = ~quint64(0);
    }
    m_fileSystems.append(fileSystem);
    return &m_fileSystems.last();
}

void TRoom::add(const QString& homeDir, const QString& newFileLoc, const QString& path)
{
    const THomePath place(homeDir, path), arrival(newFileLoc, path);
    TDirAt dir;
    TFileAt at;
    int error = 0;
    struct stat source { };
    if (path.isEmpty() || !place.isInsideHome() || place.nameIsDirectory()
        || !arrival.isInsideHome() || arrival.lookAt(at, source, error) != TPlace::Ok
        || !S_ISREG(source.st_mode))
        return;
    // The home directory's own file system comes first and is named by it. A directory still to
    // be made is made there too.
    const THomePath home(homeDir, QStringLiteral("x"));
    if (m_fileSystems.isEmpty() && home.openDir(false, dir, error) == TPlace::Ok)
        fileSystemOf(dir.device, dir.fd, home.home());
    TPlace where = place.openDir(false, dir, error);
    if (where == TPlace::Missing)
        where = home.openDir(false, dir, error);
    if (where != TPlace::Ok)
        return;
    TFileSystem* fileSystem = fileSystemOf(dir.device, dir.fd, place.targetDir());
    if (source.st_dev == dir.device && source.st_nlink == 1)
        return;
    const quint64 block = fileSystem->blockSize ? fileSystem->blockSize : 1;
    fileSystem->needed += (static_cast<quint64>(source.st_size) + block - 1) / block * block;
}

void TRoom::addSaved(const QString& homeDir, const QString& path)
{
    const THomePath place(homeDir, path), home(homeDir, QStringLiteral("x"));
    TDirAt dir;
    TFileAt at;
    int error = 0;
    struct stat installed { };
    if (path.isEmpty() || !place.isInsideHome() || place.nameIsDirectory()
        || place.lookAt(at, installed, error) != TPlace::Ok || !S_ISREG(installed.st_mode)
        || home.openDir(false, dir, error) != TPlace::Ok || installed.st_dev == dir.device)
        return;
    TFileSystem* fileSystem = fileSystemOf(dir.device, dir.fd, home.home());
    const quint64 block = fileSystem->blockSize ? fileSystem->blockSize : 1;
    fileSystem->needed += (static_cast<quint64>(installed.st_size) + block - 1) / block * block;
}

bool TRoom::check(QString& error) const
{
    for (const TFileSystem& fileSystem : m_fileSystems) {
        if (fileSystem.needed > fileSystem.available) {
            error = QStringLiteral("not enough space on '%1': need %2 bytes, %3 available")
                        .arg(fileSystem.dir)
                        .arg(fileSystem.needed)
                        .arg(fileSystem.available);
            return false;
        }
    }
    return true;
}
