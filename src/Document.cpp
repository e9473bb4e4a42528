// SPDX-License-Identifier: MIT
#include "Document.h"

#include "FileDescriptor.h"
#include "RunLog.h"

#include <QFile>
#include <QMetaType>
#include <QStringList>
#include <QTextStream>
#include <QtGlobal>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads to the end of the file, or one byte past |limit|, which tells a file that grew past it
// since it was looked at.
bool readAllBytes(int fd, QByteArray& data, qint64 limit)
{
    char block[16384];
    while (data.size() <= limit) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        data.append(block, static_cast<int>(got));
    }
    return true;
}

QString tooLarge(const QString& fileName, qint64 size)
{
    return QStringLiteral("'%1' is too large: %2 bytes, more than the %3 a document may hold")
        .arg(fileName)
        .arg(size)
        .arg(maxDocumentSize);
}

// JSON's own encoding, whatever the locale; the stream drops a byte-order mark.
QString decodeUtf8(QByteArray& data)
{
    QTextStream stream(&data, QIODevice::ReadOnly);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    stream.setEncoding(QStringConverter::Utf8);
#else
    stream.setCodec("UTF-8");
#endif
    stream.setAutoDetectUnicode(true);
    return stream.readAll();
}

} // namespace

bool readDocumentBytesIfThere(const QString& fileName, qint64 limit, bool noFollow, bool& found,
    QByteArray& data, QString& error)
{
    struct stat st { };
    found = ::lstat(QFile::encodeName(fileName).constData(), &st) == 0 || errno != ENOENT;
    return !found || readDocumentBytes(fileName, limit, noFollow, data, error);
}

bool readDocumentBytes(
    const QString& fileName, qint64 limit, bool noFollow, QByteArray& data, QString& error)
{
    // Not QFile: its open blocks for ever on a FIFO without a writer. O_NONBLOCK makes that open
    // return at once, and the type is then checked on the open descriptor itself, so nothing can
    // swap the file between the check and the read.
    const TFileDescriptor fd(::open(QFile::encodeName(fileName).constData(),
        O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (noFollow ? O_NOFOLLOW : 0)));
    struct stat st { };
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        const int openError = errno;
        error = QStringLiteral("open '%1' failed: %2").arg(fileName, errnoText(openError));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = QStringLiteral("open '%1' failed: Not a regular file").arg(fileName);
        return false;
    }
    // The size is checked before a byte is read (a document of gigabytes would exhaust memory)
    // and again after the read: the file may grow in between.
    const bool document = limit < 0;
    const qint64 bound = document ? maxDocumentSize : limit;
    int readError = st.st_size > bound ? EFBIG : 0;
    if (readError == 0 && !readAllBytes(fd.get(), data, bound))
        readError = errno;
    if (readError == 0 && data.size() > bound)
        readError = EFBIG;
    if (readError == EFBIG && document)
        error = tooLarge(fileName, qMax<qint64>(st.st_size, data.size()));
    else if (readError != 0)
        error = QStringLiteral("read '%1' failed: %2").arg(fileName, errnoText(readError));
    return readError == 0;
}

bool readDocument(const QString& fileName, QString& text, QString& error)
{
    QByteArray data;
    if (!readDocumentBytes(fileName, -1, false, data, error))
        return false;
    text = decodeUtf8(data);
    return true;
}

QString decodeDocument(QByteArray data) { return decodeUtf8(data); }

bool isBlankDocument(const QString& text)
{
    for (const QChar c : text) {
        if (!c.isSpace() && !c.isNull())
            return false;
    }
    return true;
}

TSettings::TSettings(const QVariant& document, const QString& documentName, QString& error)
    : m_root(document.toMap())
    , m_documentName(documentName)
    , m_error(error)
{
}

QVariant TSettings::lookUp(const QString& keyPath) const
{
    const QStringList keys = keyPath.split(QLatin1Char('.'));
    QVariant value = m_root;
    for (const QString& key : keys)
        value = value.toMap().value(key);
    return value;
}

bool TSettings::hasKind(const QString& keyPath, Kind kind, const QVariant& value)
{
    const int type = value.userType();
    const bool ok = kind == Text || (kind == Object && type == QMetaType::QVariantMap)
        || (kind == List && type == QMetaType::QVariantList)
        || (kind == Flag && type == QMetaType::Bool);
    if (!ok)
        m_error = QStringLiteral("setting '%1' format error").arg(keyPath);
    return ok;
}

QString TSettings::missingText(const QString& keyPath) const
{
    return QStringLiteral("no setting '%1' in '%2'").arg(keyPath, m_documentName);
}

bool TSettings::required(const QString& keyPath, Kind kind, QVariant& value)
{
    value = lookUp(keyPath);
    if (!value.isValid()) {
        m_error = missingText(keyPath);
        return false;
    }
    return hasKind(keyPath, kind, value);
}

bool TSettings::optional(const QString& keyPath, Kind kind, QVariant& value)
{
    value = lookUp(keyPath);
    return !value.isValid() || hasKind(keyPath, kind, value);
}

void TSettings::warnMissing(const QString& keyPath) const
{
    logLine("Warning: " + logText(missingText(keyPath)));
}
