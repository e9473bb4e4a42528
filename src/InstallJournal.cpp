// SPDX-License-Identifier: MIT
// The journal is written with replaceFileAt() rather than QSaveFile: its temporary file must be
// created exclusively (a name planted in the new-arrival directory, a link to a file elsewhere,
// must never be written through), and its rename must be followed by an fsync of the directory,
// which QSaveFile does not do. A journal that is not on disk before the first rename is no record.
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

const QLatin1String descKey("description-sha256"), entriesKey("entries"), pathKey("path"),
    oldKey("old"), newKey("new"), newSumKey("new-sha256"), backupKey("backup");

// Device and inode as text: JSON numbers are doubles, which do not hold every inode.
QString idText(const TFileId& id)
{
    return QString::number(static_cast<quint64>(id.device)) + QLatin1Char(':')
        + QString::number(static_cast<quint64>(id.inode));
}

bool idFromText(const QString& text, TFileId& id)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    bool deviceOk = false, inodeOk = false;
    id.device = static_cast<dev_t>(text.left(colon).toULongLong(&deviceOk));
    id.inode = static_cast<ino_t>(text.mid(colon + 1).toULongLong(&inodeOk));
    return colon > 0 && deviceOk && inodeOk && id.isSet();
}

QVariantMap entryObject(const TJournalEntry& entry)
{
    QVariantMap object;
    object.insert(pathKey, entry.path);
    if (entry.old.isSet())
        object.insert(oldKey, idText(entry.old));
    if (entry.fresh.isSet())
        object.insert(newKey, idText(entry.fresh));
    else
        object.insert(newSumKey, QString::fromLatin1(entry.freshSha256));
    if (!entry.backupName.isEmpty())
        object.insert(backupKey, QFile::decodeName(entry.backupName));
    return object;
}

// An entry must name a path and the new file; "old" is there only for a replacement.
bool entryFromObject(const QVariant& element, TJournalEntry& entry)
{
    const QVariantMap object = element.toMap();
    entry.path = object.value(pathKey).toString();
    entry.freshSha256 = object.value(newSumKey).toString().toLatin1();
    entry.backupName = QFile::encodeName(object.value(backupKey).toString());
    const bool oldOk
        = !object.contains(oldKey) || idFromText(object.value(oldKey).toString(), entry.old);
    const bool freshOk = object.contains(newKey)
        ? idFromText(object.value(newKey).toString(), entry.fresh)
        : entry.freshSha256.size() == 64;
    // The backup's name is a name in the target's directory, nothing that leads elsewhere.
    const bool backupOk = !entry.backupName.contains('/') && !entry.backupName.contains('\0')
        && entry.backupName != "." && entry.backupName != "..";
    return element.userType() == QMetaType::QVariantMap && !entry.path.isEmpty() && oldOk && freshOk
        && backupOk;
}

} // namespace

TInstallJournal::TInstallJournal(const QString& descPath, const QByteArray& descSha256)
    : m_path(descPath + QLatin1String(".journal"))
    , m_descSha256(descSha256)
{
}

const TJournalEntry* TInstallJournal::find(const QString& path) const
{
    const auto it = m_index.constFind(path);
    return it == m_index.constEnd() ? nullptr : &m_entries.at(it.value());
}

bool TInstallJournal::load(QString& error)
{
    m_entries.clear();
    m_index.clear();
    m_loaded = 0;
    if (!QFileInfo::exists(m_path) && !QFileInfo(m_path).isSymLink())
        return true;
    QString text;
    if (!readDocument(m_path, text, error))
        return false;
    if (!parse(text)) {
        m_entries.clear();
        m_index.clear();
        error = QLatin1String("parse '") + m_path + QLatin1String("' failed");
        return false;
    }
    m_loaded = m_entries.size();
    return true;
}

// False for anything but a whole journal of this description.
bool TInstallJournal::parse(const QString& text)
{
    bool ok = false;
    const QVariant document = JsonCodec::Json::parse(text, ok);
    const QVariantMap root = document.toMap();
    if (!ok || document.userType() != QMetaType::QVariantMap
        || root.value(descKey).toString().toLatin1() != m_descSha256)
        return false;
    const QVariantList elements = root.value(entriesKey).toList();
    for (const QVariant& element : elements) {
        TJournalEntry entry;
        if (!entryFromObject(element, entry) || m_index.contains(entry.path))
            return false;
        m_index.insert(entry.path, m_entries.size());
        m_entries.append(entry);
    }
    return true;
}

bool TInstallJournal::record(const QVector<TJournalEntry>& entries, QString& error)
{
    const int before = m_entries.size();
    for (const TJournalEntry& entry : entries) {
        if (m_index.contains(entry.path))
            continue;
        m_index.insert(entry.path, m_entries.size());
        m_entries.append(entry);
    }
    if (m_entries.size() == before)
        return true;
    if (write(error))
        return true;
    for (int i = before; i < m_entries.size(); ++i)
        m_index.remove(m_entries.at(i).path);
    m_entries.resize(before);
    return false;
}

QByteArray TInstallJournal::text() const
{
    QVariantList entries;
    entries.reserve(m_entries.size());
    for (const TJournalEntry& entry : m_entries)
        entries.append(entryObject(entry));
    QVariantMap root;
    root.insert(descKey, QString::fromLatin1(m_descSha256));
    root.insert(entriesKey, entries);
    return JsonCodec::Json::serialize(root) + '\n';
}

bool TInstallJournal::write(QString& error) const
{
    const QString dir = QFileInfo(m_path).path(), temporary = m_path + QLatin1String(".new");
    const QByteArray name = QFile::encodeName(QFileInfo(m_path).fileName());
    TFileDescriptor dirFd(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.isOpen()) {
        error = failedText("open", dir, errno);
        return false;
    }
    // What failed, by TReplaceStep: clearing or creating the temporary journal is its "open".
    static const char* const verbs[] = { "", "open", "open", "write", "rename", "fsync" };
    int why = 0;
    const TReplaceStep step = replaceFileAt(dirFd.get(), name, name + ".new", text(), 0600, why);
    if (step == TReplaceStep::Done)
        return true;
    error = failedText(
        verbs[static_cast<int>(step)], step == TReplaceStep::SyncDirectory ? dir : temporary, why);
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
