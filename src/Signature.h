// SPDX-License-Identifier: MIT
// Signatures in minisign's formats: the public key, the secret key (unencrypted only) and the
// four-line signature file, parsed from bytes, verified and made with OpenSSL's Ed25519 and
// BLAKE2b-512.
//
// Every binary field is one line of standard base64. A key id is 8 bytes; people see it as those
// bytes read as a little-endian 64-bit number in 16 upper-case hexadecimal digits.
#pragma once

#include <QByteArray>
#include <QString>

// A public key: algorithm "Ed", key id, 32-byte Ed25519 key.
struct TPublicKey {
    QByteArray keyId; // 8 bytes
    QByteArray key; // 32 bytes
};

// An unencrypted secret key: its key id and the 32-byte Ed25519 seed with the public key it gives.
struct TSecretKey {
    QByteArray keyId; // 8 bytes
    QByteArray seed; // 32 bytes
    QByteArray publicKey; // 32 bytes
};

// A signature file.
struct TSignature {
    bool hashed = true; // "ED": over the BLAKE2b-512 of the file; "Ed": over the file itself
    QByteArray keyId; // 8 bytes
    QByteArray signature; // 64 bytes
    QByteArray trustedComment; // without its "trusted comment: " prefix
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

enum class TVerdict {
    Verified,
    BadSignature, // the file's signature does not verify
    BadComment, // the file's does, the trusted comment's does not
};

// The key id as people see it: "933398F5F059B6AC" for the bytes ac b6 59 f0 f5 98 33 93.
QString keyIdText(const QByteArray& keyId);

// The parsers take the whole file and say, on false, what is wrong with it in |error|.
bool parsePublicKey(const QByteArray& file, TPublicKey& key, QString& error);
bool parseSecretKey(const QByteArray& file, TSecretKey& key, QString& error);
bool parseSignature(const QByteArray& file, TSignature& signature, QString& error);

// Checks |signature| of |data| against |key|, whose key id the caller has matched.
TVerdict verifySignature(
    const TSignature& signature, const TPublicKey& key, const QByteArray& data);

// The signature file of |data| (hashed, as minisign signs by default) with |trustedComment|, which
// must not hold a line break. Empty when OpenSSL fails.
QByteArray signData(
    const TSecretKey& key, const QByteArray& data, const QByteArray& trustedComment);

// The public key file of |key|, as minisign writes it.
QByteArray publicKeyFile(const TSecretKey& key);

// The secret key of |seed| (32 bytes) under |keyId| (8 bytes); its publicKey is empty when OpenSSL
// fails.
TSecretKey secretKeyFromSeed(const QByteArray& seed, const QByteArray& keyId);
