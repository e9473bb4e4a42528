// SPDX-License-Identifier: MIT
// UpgradeDescribe: writes the file-description document of an upgrade from the files of its
// new-arrival directory.
#include "Checksum.h"
#include "Description.h"
#include "Document.h"
#include "DocumentOutput.h"
#include "FileDescriptor.h"
#include "Signature.h"
#include "json.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QLatin1String removeOption("-remove=");
const QLatin1String outOption("-out=");
const QLatin1String allOrNothingOption("-all-or-nothing");
const QLatin1String sequenceOption("-sequence=");
const QLatin1String signOption("-sign=");
// A secret key file is two short lines.
const qint64 secretKeyLimit = 4096;

const char usageText[]
    = R"(Usage: UpgradeDescribe <new-arrival directory> [-remove=<path>]... [-all-or-nothing]
                       [-sequence=<n>] [-out=<file> [-sign=<secret key file>]]
Writes the file-description document that UpgradeDeploy reads: one "files-ex" entry, with its
"path", "modified-time" and "sha256" (the SHA-256 of its contents, which UpgradeDeploy checks
before it changes anything), for every regular file under the directory (depth first, sorted;
symbolic links are not followed; the document itself is never listed), and one "files-remove"
entry for every -remove= option. -all-or-nothing adds "all-or-nothing": true, with which
UpgradeDeploy puts every file back as it was when one of them cannot be put in place.
-sequence= adds "sequence": <n>, a whole number from 1 up that must grow from one package to the
next: UpgradeDeploy refuses a package older than the one installed.
-sign= (with -out= and -sequence=) signs the document with a minisign secret key made without a
password ("minisign -G -W"), into <file>.minisig, which is replaced like the document; its trusted
comment names the sequence and the document's file name. "minisign -V" verifies it.
The document goes to the standard output, or to <file>, which is replaced only once the whole
document is written and synced (a symbolic link there is replaced, not followed).
Exit status: 0 when the whole document was written; 1, after one line on the standard error, on a
wrong argument, a directory or file that cannot be read, a name that is not valid UTF-8 (it could
not be written as it is), or a document that cannot be written whole (the -out= file then keeps
what it held).
)";

struct Options {
    QString directory;
    QStringList removals;
    QString outFile;
    bool allOrNothing = false;
    quint64 sequence = 0; // 0: none given
    QString keyFile;
};

// A file as the file system knows it, whatever path leads to it.
struct FileIdentity {
    dev_t device;
    ino_t inode;
    bool operator==(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode;
    }
};
using FileIdentities = QVector<FileIdentity>;

void fail(const QString& message)
{
    std::fprintf(stderr, "UpgradeDescribe: %s\n", message.toLocal8Bit().constData());
}

// Help and version texts go through the same checked write as the document: a text that could
// not be written is a failure, not a success.
int printText(const QByteArray& text)
{
    QString error;
    if (printDocument(text, error))
        return 0;
    fail(QStringLiteral("cannot write the standard output: %1").arg(error));
    return 1;
}

// Plain decimal digits, from 1 up, within 64 bits.
bool parseSequence(const QString& text, quint64& sequence)
{
    bool ok = false;
    sequence = text.toULongLong(&ok, 10);
    if (ok && sequence > 0 && QString::number(sequence) == text)
        return true;
    fail(QStringLiteral("-sequence= needs a whole number from 1 up, not '%1'").arg(text));
    return false;
}

bool parseOptions(const QStringList& arguments, Options& options)
{
    for (const QString& argument : arguments.mid(1)) {
        if (argument.startsWith(removeOption)) {
            options.removals.append(argument.mid(removeOption.size()));
        } else if (argument.startsWith(outOption)) {
            options.outFile = argument.mid(outOption.size());
        } else if (argument == allOrNothingOption) {
            options.allOrNothing = true;
        } else if (argument.startsWith(sequenceOption)) {
            if (!parseSequence(argument.mid(sequenceOption.size()), options.sequence))
                return false;
        } else if (argument.startsWith(signOption)) {
            options.keyFile = argument.mid(signOption.size());
        } else if (argument.startsWith(QLatin1Char('-')) || !options.directory.isEmpty()) {
            fail(QStringLiteral("unexpected argument '%1' (try --help)").arg(argument));
            return false;
        } else {
            options.directory = argument;
        }
    }
    if (options.directory.isEmpty()) {
        fail(QStringLiteral("no new-arrival directory given (try --help)"));
        return false;
    }
    if (!options.keyFile.isEmpty() && (options.outFile.isEmpty() || options.sequence == 0)) {
        fail(QStringLiteral("-sign= needs -out= and -sequence= (try --help)"));
        return false;
    }
    return true;
}

// The files the document is written to, which must not describe themselves: the -out= file as it
// is now, and the standard output when it is a file (a document redirected into the very
// directory it describes would otherwise list itself, with the checksum of an empty file).
FileIdentities documentFiles(const Options& options)
{
    FileIdentities found;
    struct stat st;
    if (!options.outFile.isEmpty()
        && ::lstat(QFile::encodeName(options.outFile).constData(), &st) == 0)
        found.append({ st.st_dev, st.st_ino });
    if (!options.keyFile.isEmpty()
        && ::lstat(QFile::encodeName(options.outFile + QLatin1String(".minisig")).constData(), &st)
            == 0)
        found.append({ st.st_dev, st.st_ino });
    if (options.outFile.isEmpty() && ::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode))
        found.append({ st.st_dev, st.st_ino });
    return found;
}

bool isDocumentFile(const QFileInfo& file, const FileIdentities& skipped)
{
    struct stat st;
    return ::lstat(QFile::encodeName(file.filePath()).constData(), &st) == 0
        && skipped.contains({ st.st_dev, st.st_ino });
}

bool describeFile(const QDir& root, const QFileInfo& file, QVariantList& files)
{
    QString error;
    const QByteArray sha256 = fileSha256(file.filePath(), error);
    if (sha256.isEmpty()) {
        fail(error);
        return false;
    }
    QVariantMap entry;
    entry.insert(description::path, root.relativeFilePath(file.absoluteFilePath()));
    entry.insert(description::modifiedTime, file.lastModified().toString(description::timeFormat));
    entry.insert(description::sha256, QString::fromLatin1(sha256));
    files.append(entry);
    return true;
}

// |name| with every byte outside printable ASCII as "\x" and two hexadecimal digits.
QString escapedName(const QByteArray& name)
{
    QString text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

// The document is UTF-8, and a name is written as the text Qt decodes from its bytes: a byte that
// is not UTF-8 would become U+FFFD, and the file, listed under a name it does not have, would never
// be deployed. Such a name fails the whole document. Decoding and encoding again gives back the
// very bytes of a valid name only.
bool namesAreUtf8(const QString& dir)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(
        ::opendir(QFile::encodeName(dir).constData()), ::closedir);
    if (!stream) {
        fail(QStringLiteral("cannot read directory '%1': %2").arg(dir, errnoText(errno)));
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const QByteArray name(entry->d_name);
        if (QString::fromUtf8(name).toUtf8() != name) {
            fail(QStringLiteral("the name of '%1/%2' is not valid UTF-8")
                     .arg(dir, escapedName(name)));
            return false;
        }
    }
    if (errno == 0)
        return true;
    fail(QStringLiteral("cannot read directory '%1': %2").arg(dir, errnoText(errno)));
    return false;
}

// Appends the regular files under |dir| to |files|, depth first and in name order. Symbolic links
// are not followed, and the document's own files are left out.
bool walk(const QDir& root, const QString& dir, const FileIdentities& skipped, QVariantList& files)
{
    const QFileInfo info(dir);
    if (!info.isDir() || !info.isReadable() || !info.isExecutable()) {
        fail(QStringLiteral("cannot read directory '%1'").arg(dir));
        return false;
    }
    if (!namesAreUtf8(dir))
        return false;
    const QFileInfoList entries = QDir(dir).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink())
            continue;
        if (entry.isDir()) {
            if (!walk(root, entry.filePath(), skipped, files))
                return false;
        } else if (entry.isFile() && !isDocumentFile(entry, skipped)) {
            if (!describeFile(root, entry, files))
                return false;
        }
    }
    return true;
}

int writeDocument(const QByteArray& document, const QString& outFile)
{
    if (outFile.isEmpty())
        return printText(document);
    QString error;
    if (saveDocument(outFile, document, error))
        return 0;
    fail(QStringLiteral("cannot write '%1': %2").arg(outFile, error));
    return 1;
}

bool readSecretKey(const QString& keyFile, TSecretKey& key)
{
    QByteArray data;
    QString error;
    if (!readDocumentBytes(keyFile, secretKeyLimit, false, data, error)) {
        fail(error);
        return false;
    }
    if (!parseSecretKey(data, key, error)) {
        fail(QStringLiteral("secret key '%1' cannot be used: %2").arg(keyFile, error));
        return false;
    }
    return true;
}

// The signature goes beside the document once the document is whole: until then the old pair
// (if any) stays, and a document whose signature could not follow is refused by a deployer that
// requires one, never taken for signed.
int writeSignature(const QByteArray& document, const Options& options, const TSecretKey& key)
{
    const QString name = QFileInfo(options.outFile).fileName();
    if (name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'))) {
        fail(QStringLiteral("cannot sign '%1': its name holds a line break").arg(options.outFile));
        return 1;
    }
    const QByteArray comment = "sequence:" + QByteArray::number(options.sequence)
        + "\tfile:" + name.toUtf8() + "\thashed";
    const QByteArray signature = signData(key, document, comment);
    const QString target = options.outFile + QLatin1String(".minisig");
    QString error = QStringLiteral("signing failed");
    if (!signature.isEmpty() && saveDocument(target, signature, error))
        return 0;
    fail(QStringLiteral("cannot write '%1': %2").arg(target, error));
    return 1;
}

int describe(const Options& options)
{
    TSecretKey key;
    if (!options.keyFile.isEmpty() && !readSecretKey(options.keyFile, key))
        return 1;
    QVariantList files;
    if (!walk(QDir(options.directory), options.directory, documentFiles(options), files))
        return 1;
    QVariantMap document;
    document.insert(description::filesEx, files);
    document.insert(description::filesRemove, options.removals);
    if (options.allOrNothing)
        document.insert(description::allOrNothing, true);
    if (options.sequence > 0)
        document.insert(description::sequence, options.sequence);
    bool ok = true;
    const QByteArray text = JsonCodec::Json::serialize(document, ok, "\n");
    if (!ok) {
        fail(QStringLiteral("cannot write the document"));
        return 1;
    }
    const int written = writeDocument(text, options.outFile);
    if (written != 0 || options.keyFile.isEmpty())
        return written;
    return writeSignature(text, options, key);
}

} // namespace

int main(int argc, char* argv[])
{
    // A write past a file-size limit must fail with EFBIG and be reported like any other failed
    // write, not kill the program half way with SIGXFSZ; a reader that went away likewise gives
    // EPIPE instead of SIGPIPE, so every failure ends with a line on the standard error and 1.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    if (!prepareStandardOutput())
        return 1;
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h")))
        return printText(usageText);
    if (arguments.contains(QLatin1String("--version")))
        return printText("UpgradeDescribe " UPGRADE_VERSION "\n");
    Options options;
    return parseOptions(arguments, options) ? describe(options) : 1;
}
