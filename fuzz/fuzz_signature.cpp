// SPDX-License-Identifier: MIT
// libFuzzer target for the signature and key parsers, which read files that arrive with a package.
// Whatever the input, each parser must return without a fault. When it accepts the input, every
// field must have its size, the trusted comment must be one line, and the file written again from
// the fields in minisign's canonical form must parse to the same fields. An accepted signature is
// then verified against a fixed key: never a fault, and a verdict of "verified" only when the input
// is the fixed signature itself.
#include "Signature.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_signature: %s\n", what);
        std::abort();
    }
}

// A fixed test key and message: the seed is a constant, never anyone's key.
const TSecretKey& fixedKey()
{
    static const TSecretKey key = secretKeyFromSeed(
        QByteArray(32, '\x5a'), QByteArray("\x01\x23\x45\x67\x89\xab\xcd\xef", 8));
    return key;
}

const QByteArray message("{\"files\":[\"a\"],\"sequence\":1}\n");

QByteArray canonical(const TSignature& signature)
{
    return "untrusted comment: x\n"
        + QByteArray((signature.hashed ? "ED" : "Ed") + signature.keyId + signature.signature)
              .toBase64()
        + "\ntrusted comment: " + signature.trustedComment + '\n'
        + signature.globalSignature.toBase64() + '\n';
}

void checkSignature(const QByteArray& input)
{
    TSignature signature;
    QString error;
    if (!parseSignature(input, signature, error)) {
        require(!error.isEmpty(), "a refused signature without a reason");
        return;
    }
    require(signature.keyId.size() == 8 && signature.signature.size() == 64
            && signature.globalSignature.size() == 64,
        "a signature field of the wrong size");
    require(!signature.trustedComment.contains('\n'), "a trusted comment of two lines");
    TSignature again;
    require(parseSignature(canonical(signature), again, error) && again.hashed == signature.hashed
            && again.keyId == signature.keyId && again.signature == signature.signature
            && again.trustedComment == signature.trustedComment
            && again.globalSignature == signature.globalSignature,
        "the canonical form does not parse to the same signature");
    const TSecretKey& key = fixedKey();
    const TVerdict verdict = verifySignature(signature, { key.keyId, key.publicKey }, message);
    const QByteArray genuine = signData(key, message, signature.trustedComment);
    TSignature expected;
    require(parseSignature(genuine, expected, error), "a signature made here does not parse");
    require(verdict != TVerdict::Verified
            || (signature.signature == expected.signature && signature.hashed) || !signature.hashed,
        "a signature other than the genuine one verified");
}

void checkKeys(const QByteArray& input)
{
    TPublicKey key;
    QString error;
    if (parsePublicKey(input, key, error))
        require(key.keyId.size() == 8 && key.key.size() == 32, "a public key of the wrong size");
    TSecretKey secret;
    if (parseSecretKey(input, secret, error))
        require(
            secret.keyId.size() == 8 && secret.seed.size() == 32 && secret.publicKey.size() == 32,
            "a secret key of the wrong size");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
    checkSignature(input);
    checkKeys(input);
    return 0;
}
