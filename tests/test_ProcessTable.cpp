// SPDX-License-Identifier: MIT
// Stopping the processes that run a file: real helper processes and fixture process tables.
#include "UpgradeCommon.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace testsupport;

// A copy of /bin/sleep under a name that no other process bears.
QString helperProgram(const QString& dir)
{
    const QString exe = dir + '/' + uniqueName("utq");
    QFile::copy("/bin/sleep", exe);
    ::chmod(QFile::encodeName(exe).constData(), 0755);
    return exe;
}

pid_t spawn(const QString& exe) { return startNamed(exe, "10"); }

// Drops the warnings about processes that ended while the real process table was walked.
std::string settled(const std::string& log)
{
    std::istringstream in(log);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (!endedDuringWalk(QString::fromStdString(line)))
            kept += line + '\n';
    return kept;
}

int endSignal(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST(Terminate, SignalsEveryProcessOfTheExactName)
{
    QTemporaryDir dir;
    const QString exe = helperProgram(dir.path()), name = QFileInfo(exe).fileName();
    const pid_t pids[] = { spawn(exe), spawn(exe) };
    TReadyFile record;
    int count = -2;
    EXPECT_EQ(settled(captured([&] { count = record.terminate(name.toUpper()); })), "");
    EXPECT_EQ(count, 0);
    const std::string log = settled(captured([&] { count = record.terminate("bin/" + name); }));
    EXPECT_EQ(count, 2);
    std::string lines[2];
    for (int i = 0; i < 2; ++i)
        lines[i] = "Info: kill " + s(name) + '(' + std::to_string(pids[i]) + ") ok\n";
    EXPECT_TRUE(log == lines[0] + lines[1] || log == lines[1] + lines[0]) << log;
    for (pid_t pid : pids)
        EXPECT_EQ(endSignal(pid), SIGTERM);

    // Removing a program under ext/ stops it first and waits once.
    const QString home = dir.path() + "/home";
    writeFile(home + "/ext/" + name, "O");
    const pid_t pid = spawn(exe);
    TReadyFile file("ext/" + name);
    bool removed = false;
    EXPECT_EQ(settled(captured([&] { removed = file.removeWithKill(home); })),
        "Info: kill " + s(name) + '(' + std::to_string(pid)
            + ") ok\nWarning: just kill the process, sleep 1 second\n");
    EXPECT_TRUE(removed);
    EXPECT_FALSE(QFileInfo::exists(home + "/ext/" + name));
    EXPECT_EQ(endSignal(pid), SIGTERM);
}

TEST(Terminate, WalksAProcessTableAndReportsEveryOddEntry)
{
    // The first letter of an entry is its kind: d = directory with status, n = directory without
    // status, f = file, l = symlink to a directory with status. No pid here exists, so every
    // matching entry gets a kill warning.
    const QByteArray self = "d" + QByteArray::number(static_cast<qlonglong>(getpid()));
    const struct {
        const char *entry, *status, *log;
    } cases[] = { { "d99999999", "Name:\tutqx\n",
                      "Warning: kill utqx(99999999) failed(3,No such process)\n" },
        { "d99999999", "Name:\tutqx:tail\n",
            "Warning: kill utqx(99999999) failed(3,No such process)\n" },
        { "d99999999", "Name:\tother:utqx\n", "" }, { "d99999999", "Name:\tUTQX\n", "" },
        { "d99999999", "Name:\n", "" },
        { "d99999999", "garbage\n", "Warning: format error, 'garbage\n'\n" },
        { "d99999999", "", "Warning: format error, ''\n" },
        { "n99999999", "", "Warning: open failed, No such file or directory\n" },
        { self.constData(), "Name:\tutqx\n", "" }, { "d0", "Name:\tutqx\n", "" },
        { "dx99999999", "Name:\tutqx\n", "" }, { "f99999999", "Name:\tutqx\n", "" },
        { "l99999999", "Name:\tutqx\n", "" } };
    // Should this process be signalled after all, it survives to report it.
    const auto oldHandler = std::signal(SIGTERM, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + " " + c.status);
        QTemporaryDir proc;
        const QString entry = proc.path() + '/' + (c.entry + 1);
        const char kind = c.entry[0];
        if (kind == 'd' || kind == 'n')
            QDir().mkpath(entry);
        if (kind == 'd' || kind == 'f')
            writeFile(kind == 'd' ? entry + "/status" : entry, c.status);
        if (kind == 'l') {
            writeFile(proc.path() + "/target/status", c.status);
            QFile::link(proc.path() + "/target", entry);
        }
        TReadyFile record;
        int count = -2;
        EXPECT_EQ(captured([&] { count = record.terminate("bin/utqx", proc.path()); }), c.log);
        EXPECT_EQ(count, 0);
    }
    std::signal(SIGTERM, oldHandler);

    QTemporaryDir proc;
    TReadyFile record;
    int count = 0;
    EXPECT_EQ(captured([&] { count = record.terminate("utqx", proc.path() + "/none"); }),
        s("Warning: open " + proc.path() + "/none failed(2,No such file or directory)\n"));
    EXPECT_EQ(count, -1);
}

} // namespace
