// SPDX-License-Identifier: MIT
#include "Verify.h"

#include "Checksum.h"
#include "HomePath.h"
#include "UpgradeCommon.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>

namespace {

enum class Kind { Missing, Regular, NotRegular, Unknown };

// What is at |path|, without following a last link: a new file must be a regular file itself, and
// only a regular file may be opened for its checksum (opening a FIFO would wait for ever).
Kind kindOf(const QString& path)
{
    struct stat st { };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? Kind::Missing : Kind::Unknown;
    return S_ISREG(st.st_mode) ? Kind::Regular : Kind::NotRegular;
}

bool hasSha256(const QString& path, const QString& expected)
{
    QString ignored;
    return kindOf(path) == Kind::Regular
        && fileSha256(path, ignored) == expected.toLower().toLatin1();
}

// The installed file of |file| already holds the new contents.
bool isInPlace(const TReadyFile& file, const QString& homeDir)
{
    const THomePath place(homeDir, file.path);
    return place.isInsideHome() && hasSha256(place.target(), file.sha256);
}

bool verifyOne(const TReadyFile& file, const QString& newFileLoc, const QString& homeDir,
    bool& inPlace, QString& error)
{
    inPlace = false;
    if (!isSha256Text(file.sha256)) {
        error = QStringLiteral("sha256 of '%1' is malformed").arg(file.path);
        return false;
    }
    const QString source = newFileLoc + QLatin1Char('/') + file.path;
    switch (kindOf(source)) {
    case Kind::Missing:
        inPlace = isInPlace(file, homeDir);
        if (!inPlace)
            error = QStringLiteral("'%1' not exists").arg(source);
        return inPlace;
    case Kind::NotRegular:
        error = QStringLiteral("'%1' is not a regular file").arg(source);
        return false;
    case Kind::Regular:
    case Kind::Unknown: // the read below tells why
        break;
    }
    const QByteArray actual = fileSha256(source, error);
    if (actual.isEmpty())
        return false;
    if (actual != file.sha256.toLower().toLatin1()) {
        error = QStringLiteral("sha256 of '%1' mismatch").arg(source);
        return false;
    }
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
        if (!verifyOne(files.at(i), newFileLoc, homeDir, inPlace, error))
            return false;
        ++result.verified;
        if (inPlace)
            result.inPlace.insert(i);
    }
    return true;
}
