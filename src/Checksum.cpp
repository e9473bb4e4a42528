// SPDX-License-Identifier: MIT
#include "Checksum.h"

#include <QCryptographicHash>
#include <QFile>

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
