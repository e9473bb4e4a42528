// SPDX-License-Identifier: MIT
#include "Checksum.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>

#include <unistd.h>

QByteArray fileSha256(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("open '%1' failed: %2").arg(path, file.errorString());
        return QByteArray();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // addData(QIODevice*) reads in blocks of its own and reports a read error as false.
    if (!hash.addData(&file)) {
        error = QStringLiteral("read '%1' failed: %2").arg(path, file.errorString());
        return QByteArray();
    }
    return hash.result().toHex();
}

QByteArray descriptorSha256(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    char block[65536];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QByteArray();
        if (got == 0)
            return hash.result().toHex();
        hash.addData(QByteArray::fromRawData(block, static_cast<int>(got)));
    }
}

bool isSha256Text(const QString& text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}
