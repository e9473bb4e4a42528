// SPDX-License-Identifier: MIT
// The built program and its caller: texts it is asked for must arrive, or it fails; a caller's
// pipe never stops an upgrade, and the programs it starts hold nothing of the caller's.
#include "support.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using namespace testsupport;

enum class Output { Null, Full, Closed };

struct Row {
    const char* name;
    const char* argument;
    Output output;
    int status;
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const Row rows[] = {
    { "HelpIsWritten", "--help", Output::Null, 0 },
    { "HelpToAFullDiskFails", "--help", Output::Full, 1 },
    { "ShortHelpToAFullDiskFails", "-h", Output::Full, 1 },
    { "HelpToAClosedOutputFails", "--help", Output::Closed, 1 },
    { "VersionToAFullDiskFails", "--version", Output::Full, 1 },
};

// Runs the program (through the emulator of a cross build) with |argument|, its standard output
// as |output| and its standard error into |errFile|; returns its exit status.
int runProgram(const char* argument, Output output, const QString& errFile)
{
    const QByteArray err = QFile::encodeName(errFile);
    return runChild(
        QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts) << UPGRADE_DEPLOY_BIN << argument,
        [&] {
            // The error file first: once the standard output is closed, it would take its number.
            ::dup2(::open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (output == Output::Closed)
                ::close(1);
            else
                ::dup2(::open(output == Output::Full ? "/dev/full" : "/dev/null", O_WRONLY), 1);
        });
}

class CommandLine : public testing::TestWithParam<Row> { };

TEST_P(CommandLine, ExitsOneWhenTheTextCannotBeWritten)
{
    const Row& row = GetParam();
    if (row.output == Output::Closed && QString(UPGRADE_EMULATOR).size() > 0)
        GTEST_SKIP() << "the emulator's own files take a closed descriptor's number";
    QTemporaryDir tmp;
    EXPECT_EQ(runProgram(row.argument, row.output, tmp.path() + "/err"), row.status);
    const std::string err = readAll(tmp.path() + "/err").toStdString();
    if (row.status == 0)
        EXPECT_EQ(err, "");
    else
        EXPECT_EQ(err.rfind("UpgradeDeploy: write to the standard output failed: ", 0), 0u) << err;
}
INSTANTIATE_TEST_SUITE_P(Outputs, CommandLine, testing::ValuesIn(rows),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// A home directory with one file to replace and a restart program that stays running (it tells
// its pid, then sleeps): it is killed when the test ends.
class Caller : public testing::Test {
protected:
    void SetUp() override
    {
        writeFile(home + "/conf.json",
            doc("{'upgrade':{'new-arrival':{'file-location':'upgrade/new',"
                "'file-desc':'upgrade/desc.json'},'deploy':{'restart':'tools/restart.sh'}}}"));
        writeFile(home + "/upgrade/desc.json", doc("{'files':['bin/app']}"));
        makeTree(home, "bin/app=v1 upgrade/new/bin/app=v2");
        writeFile(home + "/tools/restart.sh",
            "#!/bin/sh\necho $$ >\"$0.pid.part\" && mv \"$0.pid.part\" \"$0.pid\"\n"
            "exec sleep 600\n",
            0755);
    }
    void TearDown() override
    {
        if (startedPid() > 0)
            ::kill(startedPid(), SIGKILL);
    }

    // Runs an upgrade with |output| as its standard output and error.
    int runUpgrade(int output)
    {
        return runChild(QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts)
                << UPGRADE_DEPLOY_BIN << "-homedir=" + home,
            [&] {
                ::dup2(output, 1);
                ::dup2(output, 2);
            });
    }

    // The restart program's pid, once it has told it (a minute at the most).
    pid_t startedPid()
    {
        for (int i = 0; i < 6000 && !QFile::exists(home + "/tools/restart.sh.pid"); ++i)
            QThread::msleep(10);
        return pid_t(readAll(home + "/tools/restart.sh.pid").trimmed().toInt());
    }

    QTemporaryDir tmp;
    const QString home = tmp.path() + "/home";
};

TEST_F(Caller, AReaderThatLeftNeverStopsTheUpgrade)
{
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    EXPECT_EQ(runUpgrade(ends[1]), 0);
    ::close(ends[1]);
    expectTree(home, "bin/app=v2 upgrade/desc.json-");
    EXPECT_GT(startedPid(), 0);
}

// "UpgradeDeploy | cat" ends with the run: the pipe reaches its end once the run has ended,
// though the program it started still runs, in a session of its own, on /dev/null.
TEST_F(Caller, AStartedProgramHoldsNoneOfTheCallersDescriptors)
{
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    EXPECT_EQ(runUpgrade(ends[1]), 0);
    ::close(ends[1]);
    const pid_t started = startedPid();
    ASSERT_GT(started, 0);
    QByteArray log;
    char block[4096];
    ssize_t got = 0;
    pollfd readable { ends[0], POLLIN, 0 };
    while (::poll(&readable, 1, 60000) == 1 && (got = ::read(ends[0], block, sizeof block)) > 0)
        log.append(block, int(got));
    ::close(ends[0]);
    EXPECT_EQ(got, 0) << "the pipe stayed open";
    EXPECT_TRUE(log.contains("State: End")) << log.toStdString();

    const QString proc = QString("/proc/%1/").arg(started);
    // Until the script has become sleep, the shell still holds the script open.
    for (int i = 0; i < 6000 && !QFileInfo(proc + "exe").symLinkTarget().endsWith("/sleep"); ++i)
        QThread::msleep(10);
    for (const char* fd : { "fd/0", "fd/1", "fd/2" })
        EXPECT_EQ(linkText(proc + fd), "/dev/null") << fd;
    EXPECT_EQ(QDir(proc + "fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 3);
    // The session id is the fifth field after the name in parentheses.
    const QStringList stat
        = QString::fromLatin1(readAll(proc + "stat")).section(") ", 1).split(' ');
    EXPECT_EQ(stat.value(3).toInt(), started) << "not a session of its own";
    const QString status = QString::fromLatin1(readAll(proc + "status"));
    const qulonglong ignored
        = status.section("SigIgn:\t", 1).section('\n', 0, 0).toULongLong(nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << "SIGPIPE still ignored";
}

} // namespace
