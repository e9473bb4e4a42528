// SPDX-License-Identifier: MIT
#include "Signature.h"

#include <QList>

#include <memory>

#include <openssl/evp.h>

namespace {

const int keyIdSize = 8;
const int publicKeySize = 32;
const int seedSize = 32;
const int signatureSize = 64;
const QByteArray untrustedPrefix("untrusted comment: ");
const QByteArray trustedPrefix("trusted comment: ");

struct TKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using TKeyPtr = std::unique_ptr<EVP_PKEY, TKeyFree>;
using TContextPtr = std::unique_ptr<EVP_MD_CTX, TContextFree>;

const unsigned char* bytesOf(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

// Exactly |count| lines, each without its "\n" (and a "\r" before it); the last line may end
// without one.
bool splitLines(const QByteArray& file, int count, QList<QByteArray>& lines, QString& error)
{
    if (file.isEmpty()) {
        error = QStringLiteral("the file is empty");
        return false;
    }
    lines = file.split('\n');
    if (file.endsWith('\n'))
        lines.removeLast();
    if (lines.size() != count) {
        error = QStringLiteral("%1 lines instead of %2").arg(lines.size()).arg(count);
        return false;
    }
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return true;
}

bool hasPrefix(const QByteArray& line, const QByteArray& prefix, int number, QString& error)
{
    if (line.startsWith(prefix))
        return true;
    error = QStringLiteral("line %1 does not begin with \"%2\"")
                .arg(number)
                .arg(QString::fromLatin1(prefix.trimmed()));
    return false;
}

// One base64 line that must decode to exactly |size| bytes.
bool decodeField(const QByteArray& line, int size, int number, QByteArray& field, QString& error)
{
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        line, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size) {
        error = QStringLiteral("line %1 is not the base64 of %2 bytes").arg(number).arg(size);
        return false;
    }
    field = decoded.decoded;
    return true;
}

QByteArray blake2b512(const QByteArray& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.constData(), static_cast<size_t>(data.size()), digest, &size,
            EVP_blake2b512(), nullptr)
        != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(size));
}

bool verifyEd25519(const QByteArray& key, const QByteArray& message, const QByteArray& signature)
{
    const TKeyPtr pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, bytesOf(key), static_cast<size_t>(key.size())));
    const TContextPtr context(EVP_MD_CTX_new());
    return pkey && context
        && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1
        && EVP_DigestVerify(context.get(), bytesOf(signature),
               static_cast<size_t>(signature.size()), bytesOf(message),
               static_cast<size_t>(message.size()))
        == 1;
}

QByteArray signEd25519(const QByteArray& seed, const QByteArray& message)
{
    const TKeyPtr pkey(EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, bytesOf(seed), static_cast<size_t>(seed.size())));
    const TContextPtr context(EVP_MD_CTX_new());
    QByteArray signature(signatureSize, '\0');
    size_t size = static_cast<size_t>(signature.size());
    if (!pkey || !context
        || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
               bytesOf(message), static_cast<size_t>(message.size()))
            != 1
        || size != static_cast<size_t>(signatureSize))
        return QByteArray();
    return signature;
}

QByteArray publicKeyOfSeed(const QByteArray& seed)
{
    const TKeyPtr pkey(EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, bytesOf(seed), static_cast<size_t>(seed.size())));
    QByteArray key(publicKeySize, '\0');
    size_t size = static_cast<size_t>(key.size());
    if (!pkey
        || EVP_PKEY_get_raw_public_key(
               pkey.get(), reinterpret_cast<unsigned char*>(key.data()), &size)
            != 1
        || size != static_cast<size_t>(publicKeySize))
        return QByteArray();
    return key;
}

} // namespace

QString keyIdText(const QByteArray& keyId)
{
    QString text;
    for (int i = keyId.size() - 1; i >= 0; --i)
        text += QStringLiteral("%1").arg(
            static_cast<uint>(static_cast<uchar>(keyId.at(i))), 2, 16, QLatin1Char('0'));
    return text.toUpper();
}

bool parsePublicKey(const QByteArray& file, TPublicKey& key, QString& error)
{
    QList<QByteArray> lines;
    QByteArray field;
    if (!splitLines(file, 2, lines, error) || !hasPrefix(lines.at(0), untrustedPrefix, 1, error)
        || !decodeField(lines.at(1), 2 + keyIdSize + publicKeySize, 2, field, error))
        return false;
    if (!field.startsWith("Ed")) {
        error = QStringLiteral("the algorithm is not Ed25519");
        return false;
    }
    key.keyId = field.mid(2, keyIdSize);
    key.key = field.mid(2 + keyIdSize);
    return true;
}

// 158 bytes: "Ed", the key derivation ("Sc" when encrypted, two zero bytes when not), "B2", salt
// (32), opslimit (8), memlimit (8), key id (8), seed and public key (64), checksum (32). The
// checksum is a BLAKE2b-256, which OpenSSL 3.0 cannot compute; the public key derived from the
// seed, compared with the one stored beside it, catches a damaged key as surely.
bool parseSecretKey(const QByteArray& file, TSecretKey& key, QString& error)
{
    QList<QByteArray> lines;
    QByteArray field;
    if (!splitLines(file, 2, lines, error) || !hasPrefix(lines.at(0), untrustedPrefix, 1, error)
        || !decodeField(lines.at(1), 158, 2, field, error))
        return false;
    if (!field.startsWith("Ed") || field.mid(4, 2) != "B2") {
        error = QStringLiteral("the algorithm is not Ed25519");
        return false;
    }
    if (field.mid(2, 2) != QByteArray(2, '\0')) {
        error = field.mid(2, 2) == "Sc"
            ? QStringLiteral("the key is encrypted (make it with \"minisign -G -W\")")
            : QStringLiteral("unknown key derivation");
        return false;
    }
    key = secretKeyFromSeed(field.mid(62, seedSize), field.mid(54, keyIdSize));
    if (key.publicKey.isEmpty() || key.publicKey != field.mid(94, publicKeySize)) {
        error = QStringLiteral("the key is damaged");
        return false;
    }
    return true;
}

bool parseSignature(const QByteArray& file, TSignature& signature, QString& error)
{
    QList<QByteArray> lines;
    QByteArray field;
    if (!splitLines(file, 4, lines, error) || !hasPrefix(lines.at(0), untrustedPrefix, 1, error)
        || !decodeField(lines.at(1), 2 + keyIdSize + signatureSize, 2, field, error)
        || !hasPrefix(lines.at(2), trustedPrefix, 3, error)
        || !decodeField(lines.at(3), signatureSize, 4, signature.globalSignature, error))
        return false;
    const QByteArray algorithm = field.left(2);
    if (algorithm != "ED" && algorithm != "Ed") {
        error = QStringLiteral("the algorithm is not Ed25519");
        return false;
    }
    signature.hashed = algorithm == "ED";
    signature.keyId = field.mid(2, keyIdSize);
    signature.signature = field.mid(2 + keyIdSize);
    signature.trustedComment = lines.at(2).mid(trustedPrefix.size());
    return true;
}

TVerdict verifySignature(const TSignature& signature, const TPublicKey& key, const QByteArray& data)
{
    const QByteArray message = signature.hashed ? blake2b512(data) : data;
    if (message.isEmpty() && !data.isEmpty())
        return TVerdict::BadSignature;
    if (!verifyEd25519(key.key, message, signature.signature))
        return TVerdict::BadSignature;
    if (!verifyEd25519(
            key.key, signature.signature + signature.trustedComment, signature.globalSignature))
        return TVerdict::BadComment;
    return TVerdict::Verified;
}

QByteArray signData(const TSecretKey& key, const QByteArray& data, const QByteArray& trustedComment)
{
    const QByteArray hash = blake2b512(data);
    const QByteArray signature = hash.isEmpty() ? QByteArray() : signEd25519(key.seed, hash);
    const QByteArray global
        = signature.isEmpty() ? QByteArray() : signEd25519(key.seed, signature + trustedComment);
    if (global.isEmpty())
        return QByteArray();
    return untrustedPrefix + "signature from UpgradeDescribe, key "
        + keyIdText(key.keyId).toLatin1() + '\n'
        + QByteArray("ED" + key.keyId + signature).toBase64() + '\n' + trustedPrefix
        + trustedComment + '\n' + global.toBase64() + '\n';
}

QByteArray publicKeyFile(const TSecretKey& key)
{
    return untrustedPrefix + "minisign public key " + keyIdText(key.keyId).toLatin1() + '\n'
        + QByteArray("Ed" + key.keyId + key.publicKey).toBase64() + '\n';
}

TSecretKey secretKeyFromSeed(const QByteArray& seed, const QByteArray& keyId)
{
    return { keyId, seed, publicKeyOfSeed(seed) };
}
