// SPDX-License-Identifier: MIT
// Every file is opened once, confined like every operation of the run (THomePath), and hashed from
// that descriptor: a link on the way that leads out of the new-arrival directory is refused before
// a byte is read, so the log never tells anything about a file outside it. The inode hashed is
// recorded, and the deployment moves only that inode.
#include "Verify.h"

#include "Checksum.h"
#include "FileDescriptor.h"
#include "HomePath.h"
#include "UpgradeCommon.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

enum class Kind { Missing, Regular, NotRegular, Outside, Unknown };

// Opens |path| under |root| through its confined directory, never following the last component
// and never blocking on a FIFO. On Unknown, |error| holds the errno.
Kind openConfined(
    const QString& root, const QString& path, TFileDescriptor& fd, struct stat& st, int& error)
{
    const THomePath place(root, path);
    if (!place.isInsideHome() || place.nameIsDirectory())
        return Kind::Outside;
    TFileAt at;
    switch (place.openAt(false, at, error)) {
    case TPlace::Ok:
        break;
    case TPlace::Outside:
        return Kind::Outside;
    case TPlace::Missing:
        return Kind::Missing;
    case TPlace::Failed:
        return error == ENOTDIR ? Kind::Missing : Kind::Unknown;
    }
    fd.reset(::openat(
        at.dir.fd, at.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    error = errno;
    if (!fd.isOpen())
        return error == ENOENT ? Kind::Missing : error == ELOOP ? Kind::NotRegular : Kind::Unknown;
    if (::fstat(fd.get(), &st) != 0) {
        error = errno;
        return Kind::Unknown;
    }
    return S_ISREG(st.st_mode) ? Kind::Regular : Kind::NotRegular;
}

// The installed file of |file| already holds the new contents.
bool isInPlace(const TReadyFile& file, const QString& homeDir)
{
    TFileDescriptor fd;
    struct stat st { };
    int error = 0;
    return openConfined(homeDir, file.path, fd, st, error) == Kind::Regular
        && descriptorSha256(fd.get()) == file.sha256.toLower().toLatin1();
}

// The contents read from |fd| have the checksum of |file|.
bool hashHolds(int fd, const TReadyFile& file, const QString& source, QString& error)
{
    const QByteArray actual = descriptorSha256(fd);
    if (actual.isEmpty()) {
        error = QStringLiteral("read '%1' failed: %2").arg(source, errnoText(errno));
        return false;
    }
    if (actual != file.sha256.toLower().toLatin1()) {
        error = QStringLiteral("sha256 of '%1' mismatch").arg(source);
        return false;
    }
    return true;
}

bool verifyOne(const TReadyFile& file, const QString& newFileLoc, const QString& homeDir,
    TVerifiedFile& hashed, bool& inPlace, QString& error)
{
    inPlace = false;
    if (!isSha256Text(file.sha256)) {
        error = QStringLiteral("sha256 of '%1' is malformed").arg(file.path);
        return false;
    }
    const QString source = newFileLoc + QLatin1Char('/') + file.path;
    TFileDescriptor fd;
    struct stat st { };
    int openError = 0;
    switch (openConfined(newFileLoc, file.path, fd, st, openError)) {
    case Kind::Outside:
        error = QStringLiteral("'%1' is outside the new-arrival directory").arg(file.path);
        return false;
    case Kind::Missing:
        inPlace = isInPlace(file, homeDir);
        if (!inPlace)
            error = QStringLiteral("'%1' not exists").arg(source);
        return inPlace;
    case Kind::NotRegular:
        error = QStringLiteral("'%1' is not a regular file").arg(source);
        return false;
    case Kind::Unknown:
        error = QStringLiteral("open '%1' failed: %2").arg(source, errnoText(openError));
        return false;
    case Kind::Regular:
        break;
    }
    if (!hashHolds(fd.get(), file, source, error))
        return false;
    hashed = TVerifiedFile::of(st);
    return true;
}

} // namespace

bool hasChecksums(const QList<TReadyFile>& files)
{
    for (const TReadyFile& file : files) {
        if (!file.sha256.isNull())
            return true;
    }
    return false;
}

bool verifyChecksums(const QList<TReadyFile>& files, const QString& newFileLoc,
    const QString& homeDir, TVerification& result, QString& error)
{
    for (int i = 0; i < files.size(); ++i) {
        if (files.at(i).sha256.isNull())
            continue;
        bool inPlace = false;
        TVerifiedFile hashed;
        if (!verifyOne(files.at(i), newFileLoc, homeDir, hashed, inPlace, error))
            return false;
        ++result.verified;
        if (inPlace)
            result.inPlace.insert(i);
        else
            result.hashed.insert(i, hashed);
    }
    return true;
}
