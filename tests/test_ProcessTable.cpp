// SPDX-License-Identifier: MIT
// Stopping the processes that run a file: real helper processes under unique names, the wait for
// their end with and without pidfds, and fixture process tables for the odd entries.
#include "ProcessTable.h"
#include "UpgradeCommon.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A kernel without pidfds (before 5.3, or behind a filter that refuses them) is played by standing
// in for the C library's pidfd_open(), which the process table calls.
bool pidfdsRefused = false;
int pidfdOpens = 0;

} // namespace

extern "C" int pidfd_open(pid_t pid, unsigned int flags)
{
    ++pidfdOpens;
    if (pidfdsRefused) {
        errno = ENOSYS;
        return -1;
    }
    return static_cast<int>(syscall(SYS_pidfd_open, pid, flags));
}

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

struct PidfdMode {
    explicit PidfdMode(bool refused)
    {
        pidfdsRefused = refused;
        pidfdOpens = 0;
    }
    ~PidfdMode() { pidfdsRefused = false; }
};

enum class OnTerm { Ends, EndsAfterCleanup, Ignores };

// Helper processes; whatever a test leaves running is killed and reaped at its end.
struct Children {
    std::vector<pid_t> pids;

    ~Children()
    {
        for (const pid_t pid : pids)
            if (pid > 0 && ::kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
    }

    // Starts |exe| with |argv0| as its first command-line word and waits until the table shows
    // it under the (cut) name of |exe|.
    pid_t start(const QString& exe, const QByteArray& argv0, OnTerm onTerm = OnTerm::Ends)
    {
        const QByteArray path = QFile::encodeName(exe);
        const pid_t pid = fork();
        if (pid == 0) {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            // The helper unblocks the signal once its handler is in place.
            if (onTerm == OnTerm::EndsAfterCleanup)
                sigprocmask(SIG_BLOCK, &term, nullptr);
            if (onTerm == OnTerm::Ignores)
                std::signal(SIGTERM, SIG_IGN);
            const char* delay = onTerm == OnTerm::EndsAfterCleanup ? "300" : nullptr;
            execl(path.constData(), argv0.constData(), "20", delay, static_cast<char*>(nullptr));
            _exit(127);
        }
        pids.push_back(pid);
        waitUntilNamed(pid, exe);
        return pid;
    }

    // How process |i| ended ("SIGTERM", "exit 0"), or "running" when it has not ended by now,
    // or within three seconds when |wait|.
    std::string end(size_t i, bool wait)
    {
        int status = 0;
        pid_t got = waitpid(pids[i], &status, WNOHANG);
        for (int tries = 0; wait && got == 0 && tries < 300; ++tries, usleep(10000))
            got = waitpid(pids[i], &status, WNOHANG);
        if (got != pids[i])
            return "running";
        pids[i] = 0;
        if (WIFSIGNALED(status))
            return WTERMSIG(status) == SIGTERM ? "SIGTERM" : "signal";
        return "exit " + std::to_string(WEXITSTATUS(status));
    }
};

// The helper program copied into |dir| under |name|.
QString copyHelper(const QString& dir, const QString& name)
{
    const QString exe = dir + '/' + name;
    EXPECT_TRUE(QFile::copy(UPGRADE_TEST_SLEEPER, exe));
    ::chmod(QFile::encodeName(exe).constData(), 0755);
    return exe;
}

// The log without the warnings about processes that ended during the walk, its lines sorted.
std::string settled(const std::string& log)
{
    QStringList lines = QString::fromStdString(withoutRaces(log)).split('\n', Qt::SkipEmptyParts);
    lines.sort();
    return s(lines.join('\n'));
}

std::string killedLine(const QString& name, pid_t pid)
{
    return "Info: kill " + s(name) + '(' + std::to_string(pid) + ") ok\n";
}

TEST(StopProcesses, MatchesByStatusNameAndByCommandLineBeyond15Bytes)
{
    // Names built on a unique 11-byte base: 15 bytes, and two longer ones that share their first
    // 15 bytes, which is all the status file shows of them.
    enum Name { Short, ShortUpper, Fifteen, Long, LongTwin };
    enum Argv0 { Path, Bare, Foreign };
    const struct {
        const char* name;
        int processes;
        Name running;
        Argv0 argv0;
        Name file;
        bool stopped;
    } rows[] = {
        { "EveryProcessOfTheNameIsStopped", 2, Short, Path, Short, true },
        { "ShortNameWithAnotherCommandLineIsStopped", 1, Short, Foreign, Short, true },
        { "NameInAnotherLetterCaseIsLeftRunning", 1, Short, Path, ShortUpper, false },
        { "FifteenByteNameWithAnotherCommandLineIsStopped", 1, Fifteen, Foreign, Fifteen, true },
        { "LongNameRunByItsPathIsStopped", 1, Long, Path, Long, true },
        { "LongNameRunByItsBareNameIsStopped", 1, Long, Bare, Long, true },
        { "LongNameSharingTheFirst15BytesIsLeftRunning", 1, LongTwin, Path, Long, false },
        { "LongNameWithAnotherCommandLineIsLeftRunning", 1, Long, Foreign, Long, false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString base = uniqueName("utq");
        const QString names[]
            = { base, base.toUpper(), base + "-lon", base + "-long-name", base + "-lone-wolf" };
        const QString exe = copyHelper(dir.path(), names[row.running]);
        const QByteArray argv0[]
            = { QFile::encodeName(exe), names[row.running].toUtf8(), "/usr/bin/other" };
        Children children;
        std::string expected;
        for (int i = 0; i < row.processes; ++i) {
            const pid_t pid = children.start(exe, argv0[row.argv0]);
            expected += row.stopped ? killedLine(names[row.file], pid) : "";
        }
        TReadyFile record;
        int count = -2;
        const std::string log
            = captured([&] { count = record.terminate("bin/" + names[row.file]); });
        EXPECT_EQ(settled(log), settled(expected));
        EXPECT_EQ(count, row.stopped ? row.processes : 0);
        for (int i = 0; i < row.processes; ++i)
            EXPECT_EQ(children.end(i, row.stopped), row.stopped ? "SIGTERM" : "running");
    }
}

TEST(StopProcesses, RemovalWaitsUntilTheProgramsHaveEndedAtMostOneSecond)
{
    const struct {
        const char* name;
        bool pidfdsRefused;
        OnTerm onTerm;
        int processes;
        const char* end;
    } rows[] = {
        { "ProgramsEndingAtOnceWithPidfds", false, OnTerm::Ends, 3, "SIGTERM" },
        { "ProgramsEndingAtOnceWithoutPidfds", true, OnTerm::Ends, 3, "SIGTERM" },
        { "ProgramCleaningUpFirstWithPidfds", false, OnTerm::EndsAfterCleanup, 1, "exit 0" },
        { "ProgramCleaningUpFirstWithoutPidfds", true, OnTerm::EndsAfterCleanup, 1, "exit 0" },
        { "ProgramIgnoringTermWithPidfds", false, OnTerm::Ignores, 1, "running" },
        { "ProgramIgnoringTermWithoutPidfds", true, OnTerm::Ignores, 1, "running" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.onTerm == OnTerm::EndsAfterCleanup && !UPGRADE_TEST_SLEEPER_IS_HELPER)
            continue; // sleep cannot clean up; under emulation the helper bears qemu's name
        QTemporaryDir dir;
        const QString home = dir.path() + "/home", name = uniqueName("utq") + "-long-name";
        const QString exe = copyHelper(dir.path(), name);
        writeFile(home + "/ext/" + name, "O");
        Children children;
        std::string expected = "Warning: just kill the process, sleep 1 second\n";
        for (int i = 0; i < row.processes; ++i)
            expected += killedLine(name, children.start(exe, QFile::encodeName(exe), row.onTerm));

        const PidfdMode mode(row.pidfdsRefused);
        TReadyFile file("ext/" + name);
        bool removed = false;
        const Clock::time_point removalStart = Clock::now();
        const std::string log = captured([&] { removed = file.removeWithKill(home); });
        const auto took
            = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - removalStart)
                  .count();

        EXPECT_EQ(settled(log), settled(expected));
        EXPECT_GT(pidfdOpens, 0) << "the stand-in for pidfd_open() was not called";
        EXPECT_TRUE(removed);
        // A fixed one-second sleep takes 1000 ms; a wait that gives up early leaves the program
        // running here.
        if (row.onTerm == OnTerm::Ignores)
            EXPECT_TRUE(took >= 990 && took < 3000) << took;
        else
            EXPECT_LT(took, 900);
        for (int i = 0; i < row.processes; ++i)
            EXPECT_EQ(children.end(i, false), row.end);
    }
}

// What stands at the one entry of a fixture process table.
enum class Entry { Process, ProcessWithoutStatus, File, LinkToProcess };

// A fixture process table with one entry, |pid|: a process directory holds the status (and the
// command line when given). No pid here exists, so every process that runs the file gets a kill
// warning.
void makeTable(const QString& proc, Entry entry, const QByteArray& pid, const char* status,
    const QByteArray& cmd)
{
    const QString path = proc + '/' + QString::fromUtf8(pid);
    const QString processDir = entry == Entry::LinkToProcess ? proc + "/target" : path;
    if (entry == Entry::File) {
        writeFile(path, status);
        return;
    }
    QDir().mkpath(processDir);
    if (entry != Entry::ProcessWithoutStatus)
        writeFile(processDir + "/status", status);
    if (entry == Entry::LinkToProcess)
        QFile::link(processDir, path);
    if (!cmd.isNull())
        writeFile(processDir + "/cmdline", cmd);
}

TEST(StopProcesses, WalksAFixtureTableAndReportsEveryOddEntry)
{
    const QByteArray self = QByteArray::number(static_cast<qlonglong>(getpid()));
    const QByteArray longCmd("/opt/app/utqx-a-long-program\0-x\0", 32);
    const char* killed = "Warning: kill utqx(99999999) failed(3,No such process)\n";
    const char* killedLong
        = "Warning: kill utqx-a-long-program(99999999) failed(3,No such process)\n";
    const struct {
        const char *name, *file;
        Entry entry;
        QByteArray pid;
        const char* status;
        QByteArray cmdline;
        const char* log;
    } rows[] = {
        { "NameOfTheFileMatches", "utqx", Entry::Process, "99999999", "Name:\tutqx\n", {}, killed },
        { "NameWithATailAfterAColonDiffers", "utqx", Entry::Process, "99999999",
            "Name:\tutqx:tail\n", {}, "" },
        { "LineWithoutNameIsAFormatError", "utqx", Entry::Process, "99999999", "garbage\n", {},
            "Warning: format error, 'garbage\\n'\n" },
        { "EmptyStatusIsAFormatError", "utqx", Entry::Process, "99999999", "", {},
            "Warning: format error, ''\n" },
        { "MissingStatusIsAnOpenFailure", "utqx", Entry::ProcessWithoutStatus, "99999999", "", {},
            "Warning: open failed, No such file or directory\n" },
        { "ThisProcessIsNeverTaken", "utqx", Entry::Process, self, "Name:\tutqx\n", {}, "" },
        { "PidZeroIsNoProcess", "utqx", Entry::Process, "0", "Name:\tutqx\n", {}, "" },
        { "NameWithALetterIsNoProcess", "utqx", Entry::Process, "99999999x", "Name:\tutqx\n", {},
            "" },
        { "FileIsNoProcess", "utqx", Entry::File, "99999999", "Name:\tutqx\n", {}, "" },
        { "LinkIsNoProcess", "utqx", Entry::LinkToProcess, "99999999", "Name:\tutqx\n", {}, "" },
        { "EscapedBackslashMatches", "ut\\qx", Entry::Process, "99999999", "Name:\tut\\\\qx\n", {},
            "Warning: kill ut\\qx(99999999) failed(3,No such process)\n" },
        { "EscapedLineEndMatchesAndIsEscapedInTheLog", "ut\nqx", Entry::Process, "99999999",
            "Name:\tut\\nqx\n", {}, "Warning: kill ut\\nqx(99999999) failed(3,No such process)\n" },
        { "LongNameConfirmedByTheCommandLine", "utqx-a-long-program", Entry::Process, "99999999",
            "Name:\tutqx-a-long-pro\n", longCmd, killedLong },
        { "LongNameInACommandLineWithoutEnd", "utqx-a-long-program", Entry::Process, "99999999",
            "Name:\tutqx-a-long-pro\n", "utqx-a-long-program", killedLong },
        { "LongNameWithALongerCommandWordDiffers", "utqx-a-long-program", Entry::Process,
            "99999999", "Name:\tutqx-a-long-pro\n", QByteArray("utqx-a-long-programs\0", 21), "" },
        { "LongNameAsADirectoryOfTheCommandDiffers", "utqx-a-long-program", Entry::Process,
            "99999999", "Name:\tutqx-a-long-pro\n", QByteArray("/utqx-a-long-program/x\0", 23),
            "" },
        { "LongNameOnlyInALaterWordDiffers", "utqx-a-long-program", Entry::Process, "99999999",
            "Name:\tutqx-a-long-pro\n", QByteArray("sh\0utqx-a-long-program\0", 23), "" },
        { "LongNameWithoutCommandLineDiffers", "utqx-a-long-program", Entry::Process, "99999999",
            "Name:\tutqx-a-long-pro\n", {}, "" },
    };
    // Should this process be signalled after all, it survives to report it.
    const auto oldHandler = std::signal(SIGTERM, SIG_IGN);
    for (const bool refused : { false, true }) {
        const PidfdMode mode(refused);
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (refused ? " without pidfds" : ""));
            QTemporaryDir proc;
            makeTable(proc.path(), row.entry, row.pid, row.status, row.cmdline);
            TReadyFile record;
            int count = -2;
            EXPECT_EQ(captured([&] { count = record.terminate(row.file, proc.path()); }), row.log);
            EXPECT_EQ(count, 0);
        }
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
