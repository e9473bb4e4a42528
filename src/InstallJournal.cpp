// SPDX-License-Identifier: MIT
// The journal is a JSON array of the description's paths. It is written through system calls
// rather than QSaveFile: its rename must be followed by an fsync of the directory, which QSaveFile
// does not do, and a journal that is not on disk before the first rename of the run is no record.
#include "InstallJournal.h"

#include "Document.h"
#include "FileDescriptor.h"
#include "json.h"

#include <QFile>
#include <QFileInfo>
#include <QVariant>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

QString systemError(const char* what, const QString& path, int error)
{
    return QLatin1String(what) + QLatin1String(" '") + path + QLatin1String("' failed: ")
        + QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const QByteArray& data)
{
    const char* at = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, at, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        at += written;
        left -= written;
    }
    return true;
}

} // namespace

TInstallJournal::TInstallJournal(const QString& descPath)
    : m_path(descPath + QLatin1String(".journal"))
{
}

bool TInstallJournal::load(QString& error)
{
    m_fresh.clear();
    if (!QFileInfo::exists(m_path) && !QFileInfo(m_path).isSymLink())
        return true;
    QString text;
    if (!readDocument(m_path, text, error))
        return false;
    bool ok = false;
    const QVariant document = JsonCodec::Json::parse(text, ok);
    if (!ok || document.userType() != QMetaType::QVariantList) {
        error = QLatin1String("parse '") + m_path + QLatin1String("' failed");
        return false;
    }
    const QVariantList entries = document.toList();
    for (const QVariant& entry : entries)
        m_fresh.append(entry.toString());
    return true;
}

bool TInstallJournal::record(const QStringList& paths, QString& error)
{
    const int before = m_fresh.size();
    for (const QString& path : paths) {
        if (!m_fresh.contains(path))
            m_fresh.append(path);
    }
    if (m_fresh.size() == before)
        return true;
    if (write(error))
        return true;
    m_fresh = m_fresh.mid(0, before);
    return false;
}

bool TInstallJournal::write(QString& error) const
{
    QVariantList entries;
    for (const QString& path : m_fresh)
        entries.append(path);
    const QByteArray text = JsonCodec::Json::serialize(entries) + '\n';
    const QString temporary = m_path + QLatin1String(".new");
    const QByteArray temporaryName = QFile::encodeName(temporary);
    // A leftover of a run cut off while writing is never the journal: it is written anew.
    TFileDescriptor fd(::open(temporaryName.constData(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd.isOpen()) {
        error = systemError("open", temporary, errno);
        return false;
    }
    // Now a partial journal stands at the temporary name; the journal itself is as it was.
    if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 || !fd.close()) {
        error = systemError("write", temporary, errno);
        ::unlink(temporaryName.constData());
        return false;
    }
    if (::rename(temporaryName.constData(), QFile::encodeName(m_path).constData()) != 0) {
        error = systemError("rename", temporary, errno);
        ::unlink(temporaryName.constData());
        return false;
    }
    // Now the whole journal is at its name; the rename is on disk once the directory is.
    const QString dir = QFileInfo(m_path).path();
    TFileDescriptor dirFd(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.isOpen() && ::fsync(dirFd.get()) == 0)
        return true;
    error = systemError("fsync", dir, errno);
    return false;
}

bool TInstallJournal::remove() const
{
    // A temporary journal that a run cut off while writing it left is dropped with the journal.
    if (::unlink(QFile::encodeName(m_path + QLatin1String(".new")).constData()) != 0
        && errno != ENOENT)
        return false;
    return ::unlink(QFile::encodeName(m_path).constData()) == 0 || errno == ENOENT;
}
