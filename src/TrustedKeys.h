// SPDX-License-Identifier: MIT
// The public keys a description may be signed with: every "*.pub" file of a directory outside the
// home directory, in minisign's public-key format, less the key ids listed in its "revoked" file.
#pragma once

#include "Signature.h"

#include <QByteArray>
#include <QList>
#include <QString>

class TTrustedKeys {
public:
    // Reads the keys of |dir| and its "revoked" file, one key id (16 hexadecimal digits) a line;
    // blank lines and lines starting with "#" are skipped. A missing directory or "revoked" file
    // holds nothing. On false, |error| holds the reason: a directory that cannot be listed, a key
    // or list that cannot be read or is malformed. Nothing is trusted then.
    bool load(const QString& dir, QString& error);

    bool isEmpty() const { return m_keys.isEmpty(); }
    // The trusted key with |keyId|, or null.
    const TPublicKey* find(const QByteArray& keyId) const;
    bool isRevoked(const QByteArray& keyId) const { return m_revoked.contains(keyId); }

private:
    bool loadKey(const QString& path, QString& error);
    bool loadRevoked(const QString& path, QString& error);

    QList<TPublicKey> m_keys;
    QList<QByteArray> m_revoked;
};

// Verifies the signature file |descPath| + ".minisig" of the description bytes |data| against
// |keys|. On true, |keyId| holds the signing key's id as people see it; on false, |error| is
// "signature of '<descPath>' " and the reason, with the key id once the signature names one.
bool verifyDescription(const TTrustedKeys& keys, const QString& descPath, const QByteArray& data,
    QString& keyId, QString& error);
