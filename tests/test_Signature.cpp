// SPDX-License-Identifier: MIT
// minisign's formats as parsed here, proved against the minisign program where it is installed;
// the trusted-key directory and the stored sequence. Verification and signing are proved end to
// end, against minisign, in the signed-* cases of data/e2e.
#include "SequenceState.h"
#include "Signature.h"
#include "TrustedKeys.h"
#include "support.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace testsupport;

// A fixed test key, made from a constant seed: never a key of anyone's.
const TSecretKey testKey
    = secretKeyFromSeed(QByteArray(32, '\x11'), QByteArray("\xac\xb6\x59\xf0\xf5\x98\x33\x93", 8));
const QByteArray message("{'files':['a'],'sequence':1}\n");

// The lines of a signature file of |message| by |testKey|.
QList<QByteArray> signedLines()
{
    return signData(testKey, message, "sequence:1\tfile:desc.json").split('\n');
}

// ---- Parsing a signature file -------------------------------------------------------------------

// %1 %2 %3 %4 stand for the four lines of a good signature file (line 3 without its prefix).
const struct ParseRow {
    const char* name;
    QByteArray text;
    const char* error; // empty: parsed
} parseRows[] = {
    { "FourLinesAsWrittenAreRead", "%1\n%2\ntrusted comment: %3\n%4\n", "" },
    { "LastLineWithoutLineBreakIsRead", "%1\n%2\ntrusted comment: %3\n%4", "" },
    { "CarriageReturnsBeforeLineBreaksAreDropped", "%1\r\n%2\r\ntrusted comment: %3\r\n%4\r\n",
        "" },
    { "EmptyFileIsRefused", "", "the file is empty" },
    { "TruncatedFileIsRefused", "%1\n%2\n", "2 lines instead of 4" },
    { "LineAfterTheLastIsRefused", "%1\n%2\ntrusted comment: %3\n%4\n\n", "5 lines instead of 4" },
    { "MissingUntrustedCommentIsRefused", "comment: x\n%2\ntrusted comment: %3\n%4\n",
        "line 1 does not begin with \"untrusted comment:\"" },
    { "MissingTrustedCommentPrefixIsRefused", "%1\n%2\n%3\n%4\n",
        "line 3 does not begin with \"trusted comment:\"" },
    { "SignatureThatIsNotBase64IsRefused", "%1\n%2*\ntrusted comment: %3\n%4\n",
        "line 2 is not the base64 of 74 bytes" },
    { "SignatureOfWrongLengthIsRefused", "%1\nRUQA\ntrusted comment: %3\n%4\n",
        "line 2 is not the base64 of 74 bytes" },
    { "GlobalSignatureOfWrongLengthIsRefused", "%1\n%2\ntrusted comment: %3\n%2\n",
        "line 4 is not the base64 of 64 bytes" },
    { "UnknownAlgorithmIsRefused", "%1\nWF%2\ntrusted comment: %3\n%4\n",
        "line 2 is not the base64 of 74 bytes" },
};

QByteArray fillSignature(QByteArray text)
{
    const QList<QByteArray> lines = signedLines();
    return text.replace("%1", lines.at(0))
        .replace("%2", lines.at(1))
        .replace("%3", lines.at(2).mid(17))
        .replace("%4", lines.at(3));
}

TEST(SignatureFile, ParsesMinisignsFourLinesAndNamesWhatIsWrong)
{
    for (const ParseRow& row : parseRows) {
        SCOPED_TRACE(row.name);
        TSignature signature;
        QString error;
        const bool ok = parseSignature(fillSignature(row.text), signature, error);
        EXPECT_EQ(s(error), row.error);
        EXPECT_EQ(ok, !*row.error);
        if (ok) {
            EXPECT_TRUE(signature.hashed);
            EXPECT_EQ(signature.keyId, testKey.keyId);
            EXPECT_EQ(signature.trustedComment, "sequence:1\tfile:desc.json");
        }
    }
}

TEST(SignatureFile, AlgorithmOtherThanEd25519IsRefused)
{
    QList<QByteArray> lines = signedLines();
    QByteArray field = QByteArray::fromBase64(lines.at(1));
    field.replace(0, 2, "EC");
    lines[1] = field.toBase64();
    TSignature signature;
    QString error;
    EXPECT_FALSE(parseSignature(lines.join('\n'), signature, error));
    EXPECT_EQ(s(error), "the algorithm is not Ed25519");
}

// ---- Keys -----------------------------------------------------------------------------------

// The 8 bytes read as a little-endian number, as minisign shows it.
TEST(KeyFiles, KeyIdIsShownAsALittleEndianNumber)
{
    EXPECT_EQ(s(keyIdText(testKey.keyId)), "933398F5F059B6AC");
}

class Minisign : public testing::Test {
protected:
    void SetUp() override
    {
        program = QStandardPaths::findExecutable("minisign");
        if (program.isEmpty())
            GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
        ASSERT_EQ(run({ "-G", "-W", "-p", dir.path() + "/pub", "-s", dir.path() + "/sec" }), 0);
    }

    int run(const QStringList& arguments)
    {
        QProcess process;
        process.start(program, arguments);
        process.waitForFinished(60000);
        output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QString program;
    QTemporaryDir dir;
    QByteArray output;
};

TEST_F(Minisign, KeyIdAndPublicKeyMatchWhatMinisignWrites)
{
    const QByteArray pub = readAll(dir.path() + "/pub");
    TPublicKey key;
    TSecretKey secret;
    QString error;
    ASSERT_TRUE(parsePublicKey(pub, key, error)) << s(error);
    ASSERT_TRUE(parseSecretKey(readAll(dir.path() + "/sec"), secret, error)) << s(error);
    // minisign names the key by the same number, without leading zeros.
    const QByteArray comment = pub.split('\n').at(0);
    EXPECT_TRUE(comment.startsWith("untrusted comment: minisign public key "))
        << comment.constData();
    EXPECT_EQ(comment.split(' ').last().toULongLong(nullptr, 16),
        keyIdText(key.keyId).toULongLong(nullptr, 16));
    EXPECT_EQ(keyIdText(key.keyId).size(), 16);
    EXPECT_EQ(secret.keyId, key.keyId);
    EXPECT_EQ(secret.publicKey, key.key);
    EXPECT_EQ(publicKeyFile(secret).split('\n').at(1), pub.split('\n').at(1));
}

TEST_F(Minisign, EncryptedOrDamagedSecretKeyIsRefused)
{
    const QList<QByteArray> lines = readAll(dir.path() + "/sec").split('\n');
    const QByteArray field = QByteArray::fromBase64(lines.at(1));
    const struct {
        const char* name;
        int at;
        QByteArray bytes;
        const char* error;
    } rows[] = {
        { "EncryptedKey", 2, "Sc", "the key is encrypted (make it with \"minisign -G -W\")" },
        { "UnknownKeyDerivation", 2, "Xx", "unknown key derivation" },
        { "ChangedSeed", 70, "\x55", "the key is damaged" },
        { "NotAnEd25519Key", 0, "EC", "the algorithm is not Ed25519" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray changed = field;
        changed.replace(row.at, row.bytes.size(), row.bytes);
        TSecretKey key;
        QString error;
        EXPECT_FALSE(parseSecretKey(lines.at(0) + '\n' + changed.toBase64() + '\n', key, error));
        EXPECT_EQ(s(error), row.error);
    }
}

// ---- The trusted-key directory --------------------------------------------------------------

const struct KeysRow {
    const char* name;
    const char* tree; // in makeTree's notation; %P is a good public key file's second line
    const char* error; // empty: loaded
    int keys;
    bool testKeyRevoked;
} keysRows[] = {
    { "MissingDirectoryHoldsNoKey", "", "", 0, false },
    { "OnlyPubFilesAreKeys", "keys/a.pub=untrusted_comment:_x\n%P keys/notes.txt=x", "", 1, false },
    { "RevokedListSkipsBlankAndCommentLines",
        "keys/a.pub=untrusted_comment:_x\n%P keys/revoked=#_old\n\n_933398f5f059b6ac_\n", "", 1,
        true },
    { "MalformedKeyFailsTheWhole", "keys/a.pub=untrusted_comment:_x\n%P keys/b.pub=junk",
        "trusted key '%R/keys/b.pub' is malformed: 1 lines instead of 2", 0, false },
    { "MalformedRevokedLineFailsTheWhole",
        "keys/a.pub=untrusted_comment:_x\n%P keys/revoked=933398F5",
        "'%R/keys/revoked' line 1 is not a key id", 0, false },
    { "KeyThatIsAFifoFails", "keys/a.pub|", "open '%R/keys/a.pub' failed: Not a regular file", 0,
        false },
};

TEST(TrustedKeys, LoadsEveryPubFileAndTheRevokedIds)
{
    for (const KeysRow& row : keysRows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir tmp;
        const QString root = tmp.path();
        QDir().mkpath(root + "/keys");
        const QByteArray line = publicKeyFile(testKey).split('\n').at(1);
        // makeTree splits items at blanks: "_" stands for one in the texts.
        makeTree(root, QString::fromUtf8(QByteArray(row.tree).replace("%P", line)));
        for (const QString& path : { root + "/keys/a.pub", root + "/keys/revoked" })
            if (QFileInfo(path).isFile() && !QFileInfo(path).isSymLink())
                writeFile(path, readAll(path).replace('_', ' '));
        TTrustedKeys keys;
        QString error;
        const bool ok = keys.load(root + (row.keys || *row.error ? "/keys" : "/none"), error);
        EXPECT_EQ(s(error), s(QString::fromUtf8(row.error).replace("%R", root)));
        EXPECT_EQ(ok, !*row.error);
        EXPECT_EQ(keys.find(testKey.keyId) != nullptr, row.keys > 0);
        EXPECT_EQ(keys.isRevoked(testKey.keyId), row.testKeyRevoked);
    }
}

// ---- The stored sequence ------------------------------------------------------------------------

const QByteArray sumA(64, 'a');

const struct StateRow {
    const char* name;
    QByteArray stored; // "<missing>" for no file
    bool ok;
    bool found;
    quint64 sequence;
} stateRows[] = {
    { "MissingFileIsNoRecord", "<missing>", true, false, 0 },
    { "RecordIsRead", "sequence 12\nsha256 " + sumA + '\n', true, true, 12 },
    { "LargestSequenceIsRead", "sequence 18446744073709551615\nsha256 " + sumA + '\n', true, true,
        18446744073709551615ULL },
    { "EmptyFileIsDamaged", "", false, false, 0 },
    { "ZeroIsDamaged", "sequence 0\nsha256 " + sumA + '\n', false, false, 0 },
    { "LeadingZeroIsDamaged", "sequence 012\nsha256 " + sumA + '\n', false, false, 0 },
    { "SignIsDamaged", "sequence +12\nsha256 " + sumA + '\n', false, false, 0 },
    { "OverflowIsDamaged", "sequence 18446744073709551616\nsha256 " + sumA + '\n', false, false,
        0 },
    { "MissingChecksumIsDamaged", "sequence 12\n", false, false, 0 },
    { "ShortChecksumIsDamaged", "sequence 12\nsha256 " + sumA.left(63) + '\n', false, false, 0 },
    { "UpperCaseChecksumIsDamaged", "sequence 12\nsha256 " + QByteArray(64, 'A') + '\n', false,
        false, 0 },
    { "CutOffLastLineIsDamaged", "sequence 12\nsha256 " + sumA, false, false, 0 },
    { "ExtraLineIsDamaged", "sequence 12\nsha256 " + sumA + "\nx\n", false, false, 0 },
    { "LargeFileIsDamaged", QByteArray(4096, '1'), false, false, 0 },
};

TEST(SequenceState, ReadsOneRecordAndNeverTakesDamageForZero)
{
    for (const StateRow& row : stateRows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir tmp;
        const TSequenceState state(tmp.path() + "/state", tmp.path());
        QDir().mkpath(tmp.path() + "/state");
        if (row.stored != "<missing>")
            writeFile(state.path(), row.stored);
        bool found = true;
        TSequenceRecord record;
        QString error;
        EXPECT_EQ(state.load(found, record, error), row.ok) << s(error);
        EXPECT_EQ(found, row.found);
        EXPECT_EQ(row.found ? record.sequence : 0, row.sequence);
    }
}

TEST(SequenceState, EachHomeDirectoryHasItsOwnFile)
{
    const QStringList homes { "/a/b", "/a-b", "/a/b/", "/a%2Fb", "/a b", "/" };
    QStringList names;
    for (const QString& home : homes)
        names << QFileInfo(TSequenceState("/state", home).path()).fileName();
    EXPECT_EQ(s(names.join(' ')),
        "-a-b.state -a%2Db.state -a-b.state -a%252Fb.state -a%20b.state -.state");
}

} // namespace
