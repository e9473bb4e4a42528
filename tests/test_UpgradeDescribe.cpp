// SPDX-License-Identifier: MIT
// The description maker run as a program where its output cannot be written whole (a file-size
// limit, a full or closed standard output), and on names as bytes that a tree of test data cannot
// hold. The other cases run in data/e2e/describe-*.
#include "json.h"
#include "support.h"

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>

namespace {

using namespace testsupport;

enum class Output { ToOutFile, ToDevFull, Closed, IntoDescribedDirectory };

const struct OutputCase {
    const char* name;
    const char* argument; // besides the directory "new"
    Output output;
    rlim_t sizeLimit; // RLIM_INFINITY: none
    bool sizeSignalIgnored; // as a parent such as a script interpreter may leave it
    int exitCode;
    const char* stderrText;
} outputCases[] = {
    { "OutFileCutShortBySizeLimitKeepsOldFile", "-out=out.json", Output::ToOutFile, 200, false, 1,
        "UpgradeDescribe: cannot write 'out.json': File too large\n" },
    { "OutFileCutShortWithSizeSignalIgnoredKeepsOldFile", "-out=out.json", Output::ToOutFile, 200,
        true, 1, "UpgradeDescribe: cannot write 'out.json': File too large\n" },
    { "OutFileWrittenWholeKeepsItsMode", "-out=out.json", Output::ToOutFile, RLIM_INFINITY, false,
        0, "" },
    { "DocumentToFullStandardOutputFails", "-remove=x", Output::ToDevFull, RLIM_INFINITY, false, 1,
        "UpgradeDescribe: cannot write the standard output: No space left on device\n" },
    { "HelpToFullStandardOutputFails", "--help", Output::ToDevFull, RLIM_INFINITY, false, 1,
        "UpgradeDescribe: cannot write the standard output: No space left on device\n" },
    { "VersionToClosedStandardOutputFails", "--version", Output::Closed, RLIM_INFINITY, false, 1,
        "UpgradeDescribe: cannot write the standard output: Bad file descriptor\n" },
    { "DocumentRedirectedIntoDescribedDirectoryDoesNotListItself", "-remove=x",
        Output::IntoDescribedDirectory, RLIM_INFINITY, false, 0, "" },
};

// Runs UpgradeDescribe in |dir| (through the emulator of a cross build) with the case's standard
// output, size limit and SIGXFSZ disposition; the standard error goes to |dir|/stderr.
int runDescribe(const QString& dir, const OutputCase& c)
{
    const QByteArray workDir = QFile::encodeName(dir);
    const char* out = c.output == Output::ToDevFull ? "/dev/full" : "new/doc.json";
    return runChild(QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts)
            << UPGRADE_DESCRIBE_BIN << "new" << c.argument,
        [&] {
            const rlimit limit { c.sizeLimit, c.sizeLimit };
            if (::chdir(workDir.constData()) != 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0
                || ::dup2(::open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2) != 2)
                _exit(126);
            if (c.output == Output::Closed)
                ::close(1);
            else if (c.output != Output::ToOutFile)
                ::dup2(::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            std::signal(SIGXFSZ, c.sizeSignalIgnored ? SIG_IGN : SIG_DFL);
        });
}

// One test runs every row: under the emulator of a cross build each test program start costs
// more than a row.
TEST(DescribeOutput, ExitStatusErrorLineAndOutputFileAreAsExpected)
{
    for (const OutputCase& c : outputCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir tmp;
        const QString dir = tmp.path();
        for (int i = 0; i < 20; ++i)
            writeFile(dir + QString("/new/file%1.txt").arg(i), "text\n");
        writeFile(dir + "/out.json", "OLD\n", 0600);

        EXPECT_EQ(c.exitCode, runDescribe(dir, c));
        EXPECT_EQ(std::string(c.stderrText), readAll(dir + "/stderr").toStdString());
        const QByteArray written = readAll(dir + "/out.json");
        if (c.output == Output::ToOutFile && c.exitCode == 0) {
            EXPECT_TRUE(written.contains("\"path\" : \"file19.txt\""));
            EXPECT_EQ(0600u, statOf(dir + "/out.json").st_mode & 07777);
        } else {
            EXPECT_EQ("OLD\n", written.toStdString());
        }
        if (c.output == Output::IntoDescribedDirectory) {
            EXPECT_TRUE(readAll(dir + "/new/doc.json").contains("\"file19.txt\""));
            EXPECT_FALSE(readAll(dir + "/new/doc.json").contains("doc.json"));
        }
        // No temporary file is left beside the document.
        EXPECT_EQ("new out.json stderr",
            s(QDir(dir)
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)
                    .join(' ')));
    }
}

// Names as the file system holds them, bytes and all.
const struct NameCase {
    const char* name;
    const char* file; // under new/
    int exitCode;
    const char* expected; // what the document holds (exit 0) or the standard error (exit 1)
} nameCases[] = {
    { "ControlCharacterAsUnicodeEscape", "a\x01z", 0, "\"path\" : \"a\\u0001z\"" },
    { "EscapeCharacterAsUnicodeEscape", "\x1b[0m", 0, "\"path\" : \"\\u001b[0m\"" },
    { "ShortEscapeKept", "tab\there", 0, "\"path\" : \"tab\\there\"" },
    { "MultibyteUtf8Kept", "caf\xc3\xa9", 0, "\"path\" : \"caf\xc3\xa9\"" },
    { "InvalidByteFails", "bad\xff.txt", 1,
        "UpgradeDescribe: the name of 'new/bad\\xff.txt' is not valid UTF-8\n" },
    { "OverlongEncodingFails", "\xc0\xaf", 1,
        "UpgradeDescribe: the name of 'new/\\xc0\\xaf' is not valid UTF-8\n" },
    { "EncodedSurrogateFails", "\xed\xa0\x80", 1,
        "UpgradeDescribe: the name of 'new/\\xed\\xa0\\x80' is not valid UTF-8\n" },
    { "InvalidNameInSubdirectoryFails", "sub/\xfe", 1,
        "UpgradeDescribe: the name of 'new/sub/\\xfe' is not valid UTF-8\n" },
};

// A name is described as exactly its bytes, or the document is not written at all: never a file
// left out, never another name.
TEST(DescribeNames, DocumentHoldsTheExactNameOrFails)
{
    for (const NameCase& c : nameCases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir tmp;
        const QByteArray dir = QFile::encodeName(tmp.path());
        const QByteArray file = dir + "/new/" + c.file;
        ::mkdir((dir + "/new").constData(), 0755);
        ::mkdir((dir + "/new/sub").constData(), 0755);
        ASSERT_EQ(::close(::open(file.constData(), O_WRONLY | O_CREAT, 0644)), 0);
        const int status = runChild(QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts)
                << UPGRADE_DESCRIBE_BIN << "new",
            [&] {
                if (::chdir(dir.constData()) != 0
                    || ::dup2(::open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2) != 2
                    || ::dup2(::open("doc.json", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1) != 1)
                    _exit(126);
            });
        EXPECT_EQ(status, c.exitCode);
        const QByteArray document = readAll(tmp.path() + "/doc.json");
        if (c.exitCode != 0) {
            EXPECT_EQ(readAll(tmp.path() + "/stderr").toStdString(), c.expected);
            EXPECT_EQ(document.toStdString(), "");
            continue;
        }
        EXPECT_TRUE(document.contains(c.expected)) << document.toStdString();
        bool ok = false;
        const QVariant read = JsonCodec::Json::parse(QString::fromUtf8(document), ok);
        EXPECT_TRUE(ok);
        const QVariant path
            = read.toMap().value("files-ex").toList().value(0).toMap().value("path");
        EXPECT_EQ(QFile::encodeName(path.toString()).toStdString(), c.file);
    }
}

} // namespace
