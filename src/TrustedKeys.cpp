// SPDX-License-Identifier: MIT
#include "TrustedKeys.h"

#include "Document.h"
#include "FileDescriptor.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// Far above what minisign writes (a key is two short lines, a signature four with comments of at
// most a few KiB): a larger file is not one of them and is never read whole.
const qint64 keyFileLimit = 4096;
const qint64 revokedLimit = 1 << 20;
const qint64 signatureLimit = 16384;

struct TDirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The names of the "*.pub" entries of |dir|, sorted. A missing directory has none.
bool listKeyFiles(const QString& dir, QStringList& names, QString& error)
{
    const std::unique_ptr<DIR, TDirClose> stream(::opendir(QFile::encodeName(dir).constData()));
    if (!stream) {
        if (errno == ENOENT)
            return true;
        error = QStringLiteral("open key directory '%1' failed: %2").arg(dir, errnoText(errno));
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name.endsWith(QLatin1String(".pub")))
            names.append(name);
        errno = 0;
    }
    if (errno != 0) {
        error = QStringLiteral("read key directory '%1' failed: %2").arg(dir, errnoText(errno));
        return false;
    }
    names.sort();
    return true;
}

// "933398F5F059B6AC" back to its 8 bytes; empty when the text is not 16 hexadecimal digits.
QByteArray keyIdBytes(const QByteArray& text)
{
    const QByteArray bytes = QByteArray::fromHex(text);
    if (text.size() != 16 || bytes.size() != 8 || bytes.toHex() != text.toLower())
        return QByteArray();
    QByteArray id;
    for (int i = 7; i >= 0; --i)
        id.append(bytes.at(i));
    return id;
}

} // namespace

bool TTrustedKeys::load(const QString& dir, QString& error)
{
    m_keys.clear();
    m_revoked.clear();
    QStringList names;
    bool ok = listKeyFiles(dir, names, error);
    for (int i = 0; ok && i < names.size(); ++i)
        ok = loadKey(dir + QLatin1Char('/') + names.at(i), error);
    ok = ok && loadRevoked(dir + QLatin1String("/revoked"), error);
    if (!ok) {
        m_keys.clear();
        m_revoked.clear();
    }
    return ok;
}

bool TTrustedKeys::loadKey(const QString& path, QString& error)
{
    QByteArray data;
    if (!readDocumentBytes(path, keyFileLimit, false, data, error))
        return false;
    TPublicKey key;
    QString why;
    if (!parsePublicKey(data, key, why)) {
        error = QStringLiteral("trusted key '%1' is malformed: %2").arg(path, why);
        return false;
    }
    m_keys.append(key);
    return true;
}

bool TTrustedKeys::loadRevoked(const QString& path, QString& error)
{
    // A missing file revokes nothing: its empty data holds no line.
    bool there = false;
    QByteArray data;
    if (!readDocumentBytesIfThere(path, revokedLimit, false, there, data, error))
        return false;
    const QList<QByteArray> lines = data.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QByteArray id = keyIdBytes(line);
        if (id.isEmpty()) {
            error = QStringLiteral("'%1' line %2 is not a key id").arg(path).arg(i + 1);
            return false;
        }
        m_revoked.append(id);
    }
    return true;
}

const TPublicKey* TTrustedKeys::find(const QByteArray& keyId) const
{
    for (const TPublicKey& key : m_keys) {
        if (key.keyId == keyId)
            return &key;
    }
    return nullptr;
}

bool verifyDescription(const TTrustedKeys& keys, const QString& descPath, const QByteArray& data,
    QString& keyId, QString& error)
{
    error.clear();
    const QString subject = QStringLiteral("signature of '%1' ").arg(descPath);
    QByteArray file;
    QString why;
    // Never through a link: the signature is a file of the package itself.
    if (!readDocumentBytes(descPath + QLatin1String(".minisig"), signatureLimit, true, file, why)) {
        error = subject + QLatin1String("cannot be read: ") + why;
        return false;
    }
    TSignature signature;
    if (!parseSignature(file, signature, why)) {
        error = subject + QLatin1String("is malformed: ") + why;
        return false;
    }
    keyId = keyIdText(signature.keyId);
    const TPublicKey* key = keys.find(signature.keyId);
    if (keys.isRevoked(signature.keyId))
        error = subject + QLatin1String("is by revoked key ") + keyId;
    else if (!key)
        error = subject + QLatin1String("is by unknown key ") + keyId;
    else if (const TVerdict verdict = verifySignature(signature, *key, data);
             verdict == TVerdict::BadSignature)
        error = subject + QLatin1String("does not verify with key ") + keyId;
    else if (verdict == TVerdict::BadComment)
        error = subject + QLatin1String("has a trusted comment that does not verify with key ")
            + keyId;
    return error.isEmpty();
}
