// SPDX-License-Identifier: MIT
// UpgradeDescribe: writes the file-description document of an upgrade from the files of its
// new-arrival directory.
#include "json.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QVariant>

#include <cstdio>

namespace {

const QLatin1String removeOption("-remove=");
const QLatin1String outOption("-out=");

const char usageText[]
    = R"(Usage: UpgradeDescribe <new-arrival directory> [-remove=<path>]... [-out=<file>]
Writes the file-description document that UpgradeDeploy reads: one "files-ex" entry, with its
"path" and "modified-time", for every regular file under the directory (depth first, sorted), and
one "files-remove" entry for every -remove= option. The document goes to the standard output, or
to <file>, which is replaced only once the whole document is written.
)";

struct Options {
    QString directory;
    QStringList removals;
    QString outFile;
};

void fail(const QString& message)
{
    std::fprintf(stderr, "UpgradeDescribe: %s\n", message.toLocal8Bit().constData());
}

bool parseOptions(const QStringList& arguments, Options& options)
{
    for (const QString& argument : arguments.mid(1)) {
        if (argument.startsWith(removeOption)) {
            options.removals.append(argument.mid(removeOption.size()));
        } else if (argument.startsWith(outOption)) {
            options.outFile = argument.mid(outOption.size());
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
    return true;
}

QVariantMap describeFile(const QDir& root, const QFileInfo& file)
{
    QVariantMap entry;
    entry.insert(QStringLiteral("path"), root.relativeFilePath(file.absoluteFilePath()));
    entry.insert(QStringLiteral("modified-time"),
        file.lastModified().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    return entry;
}

// Appends the regular files under |dir| to |files|, depth first and in name order. Symbolic links
// are not followed, and |skipped| (the document being written) is left out.
bool walk(const QDir& root, const QString& dir, const QString& skipped, QVariantList& files)
{
    const QFileInfo info(dir);
    if (!info.isDir() || !info.isReadable() || !info.isExecutable()) {
        fail(QStringLiteral("cannot read directory '%1'").arg(dir));
        return false;
    }
    const QFileInfoList entries = QDir(dir).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink())
            continue;
        if (entry.isDir()) {
            if (!walk(root, entry.filePath(), skipped, files))
                return false;
        } else if (entry.isFile() && entry.absoluteFilePath() != skipped) {
            files.append(describeFile(root, entry));
        }
    }
    return true;
}

bool writeDocument(const QByteArray& document, const QString& outFile)
{
    if (outFile.isEmpty())
        return std::fwrite(document.constData(), 1, document.size(), stdout)
            == static_cast<size_t>(document.size());
    // The document replaces the file only when it has been written whole.
    QSaveFile file(outFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(document) != document.size()
        || !file.commit()) {
        fail(QStringLiteral("cannot write '%1': %2").arg(outFile, file.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        std::fputs(usageText, stdout);
        return 0;
    }
    if (arguments.contains(QLatin1String("--version"))) {
        std::fputs("UpgradeDescribe " UPGRADE_VERSION "\n", stdout);
        return 0;
    }

    Options options;
    if (!parseOptions(arguments, options))
        return 1;
    const QString skipped
        = options.outFile.isEmpty() ? QString() : QFileInfo(options.outFile).absoluteFilePath();
    QVariantList files;
    if (!walk(QDir(options.directory), options.directory, skipped, files))
        return 1;

    QVariantMap document;
    document.insert(QStringLiteral("files-ex"), files);
    document.insert(QStringLiteral("files-remove"), options.removals);
    bool ok = true;
    const QByteArray text = JsonCodec::Json::serialize(document, ok, "\n");
    if (!ok) {
        fail(QStringLiteral("cannot write the document"));
        return 1;
    }
    return writeDocument(text, options.outFile) ? 0 : 1;
}
