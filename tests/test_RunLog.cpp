// SPDX-License-Identifier: MIT
// The run's log: escaping of outside texts and the "-out=" file, against real files and FIFOs.
#include "RunLog.h"
#include "support.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testsupport;

struct EscapeRow {
    const char* name;
    QByteArray text;
    const char* logged;
};
void PrintTo(const EscapeRow& row, std::ostream* out) { *out << row.name; }

const EscapeRow escapeRows[] = {
    { "PlainTextKept", "bin/app 1.0", "bin/app 1.0" },
    { "Utf8Kept", "share/\xC3\xA9t\xC3\xA9.txt", "share/\xC3\xA9t\xC3\xA9.txt" },
    { "LineBreakCannotStartALine", "a\nError: forged", "a\\nError: forged" },
    { "CarriageReturnAndTabAsLetters", "a\rb\tc", "a\\rb\\tc" },
    { "ZeroByteAsHex", QByteArray("a\0b", 3), "a\\x00b" },
    { "LastControlCharacterAsHex", "a\x1f", "a\\x1f" },
    { "DeleteAsHex", "a\x7f", "a\\x7f" },
    { "SpaceIsNoControlCharacter", " ", " " },
};

class Escape : public testing::TestWithParam<EscapeRow> { };

TEST_P(Escape, KeepsOneEventOnOneLine)
{
    EXPECT_EQ(logText(GetParam().text).toStdString(), GetParam().logged);
    EXPECT_EQ(logText(QString::fromUtf8(GetParam().text.constData(), GetParam().text.size()))
                  .toStdString(),
        GetParam().logged);
}
INSTANTIATE_TEST_SUITE_P(Texts, Escape, testing::ValuesIn(escapeRows),
    [](const testing::TestParamInfo<EscapeRow>& row) { return std::string(row.param.name); });

// The descriptor this process holds on |path|, or -1.
int descriptorOf(const QString& path)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::Files | QDir::System)) {
        if (QFile::symLinkTarget(fds.filePath(fd)) == path)
            return fd.toInt();
    }
    return -1;
}

class LogFile : public testing::Test {
protected:
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/run.log";
    TRunLogFile log;
    QString error;
};

TEST_F(LogFile, AppendsEveryLineAndSyncsOnClose)
{
    writeFile(path, "old run\n");
    ASSERT_TRUE(log.open(path, error));
    logLine("first");
    // Written at once: a run killed here still leaves its lines.
    EXPECT_EQ(readAll(path), "old run\nfirst\n");
    logLine("second");
    EXPECT_TRUE(log.close(error)) << s(error);
    EXPECT_EQ(readAll(path), "old run\nfirst\nsecond\n");
    EXPECT_FALSE(log.isOpen());
}

TEST_F(LogFile, IsNotInheritedByStartedPrograms)
{
    ASSERT_TRUE(log.open(path, error));
    const int fd = descriptorOf(path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(log.close(error));
}

TEST_F(LogFile, FifoWithoutReaderFailsAtOnceAndLeavesTheStandardOutput)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    std::streambuf* before = std::cout.rdbuf();
    EXPECT_FALSE(log.open(path, error));
    EXPECT_EQ(s(error), "No such device or address");
    EXPECT_EQ(std::cout.rdbuf(), before);
}

TEST_F(LogFile, MissingDirectoryFailsWithTheSystemsReason)
{
    EXPECT_FALSE(log.open(tmp.path() + "/none/run.log", error));
    EXPECT_EQ(s(error), "No such file or directory");
}

TEST_F(LogFile, CloseReportsALostWriteAndGivesTheStandardOutputBack)
{
    std::streambuf* before = std::cout.rdbuf();
    ASSERT_TRUE(log.open(QStringLiteral("/dev/full"), error));
    logLine("lost");
    logLine("lost too");
    EXPECT_FALSE(log.close(error));
    EXPECT_EQ(s(error), "write: No space left on device");
    EXPECT_EQ(std::cout.rdbuf(), before);
    EXPECT_TRUE(std::cout.good());
}

} // namespace
