// SPDX-License-Identifier: MIT
// One run at a time per home directory: the lock itself, and two real runs of one upgrade at once.
// The second run is started while the first is provably inside its run: faultfs (helpers/faultfs.c)
// stops the first one at a chosen rename, so no row depends on timing.
#include "RunLock.h"
#include "support.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace testsupport;

// ---- The lock itself.

struct LockRow {
    const char* name;
    const char* tree; // under the temporary root (see makeTree)
    const char* first; // the home the first holder locks; nullptr: none
    const char* second; // the home the second one then asks for
    const char* error; // what the second one is told ("" when it gets the lock); %R the root
};
void PrintTo(const LockRow& row, std::ostream* out) { *out << row.name; }

const LockRow lockRows[] = {
    { "SecondRunOfTheSameHomeIsRefused", "home/", "home", "home",
        "another upgrade of '%R/home' is running" },
    { "LinkToTheHomeMeetsTheSameLock", "home/ alias->%R/home", "home", "alias",
        "another upgrade of '%R/alias' is running" },
    { "OtherFormOfTheSamePathMeetsTheSameLock", "home/", "home", "home/.",
        "another upgrade of '%R/home/.' is running" },
    { "OtherHomeIsFree", "home/ other/", "home", "other", "" },
    { "FreeHomeIsTaken", "home/", nullptr, "home", "" },
    { "MissingHomeTellsWhy", "", nullptr, "home",
        "lock '%R/home' failed: No such file or directory" },
    { "FileForAHomeTellsWhy", "home=x", nullptr, "home", "lock '%R/home' failed: Not a directory" },
};

class Lock : public testing::TestWithParam<LockRow> { };

TEST_P(Lock, OneHolderPerHomeDirectory)
{
    const LockRow& row = GetParam();
    QTemporaryDir tmp;
    makeTree(tmp.path(), row.tree);
    TRunLock first, second;
    QString error;
    if (row.first) {
        ASSERT_TRUE(first.acquire(tmp.path() + '/' + row.first, error)) << s(error);
    }
    const bool taken = second.acquire(tmp.path() + '/' + row.second, error);
    EXPECT_EQ(taken, *row.error == '\0');
    EXPECT_EQ(s(taken ? QString() : error), s(fill(row.error, {}, {}, tmp.path())));
    // Once the first holder lets go (or ends), the home is free again.
    first.release();
    if (!taken && row.first) {
        EXPECT_TRUE(second.acquire(tmp.path() + '/' + row.second, error)) << s(error);
    }
}
INSTANTIATE_TEST_SUITE_P(Rows, Lock, testing::ValuesIn(lockRows),
    [](const testing::TestParamInfo<LockRow>& row) { return std::string(row.param.name); });

// ---- Two real runs of one upgrade.

const bool emulated = !QString(UPGRADE_EMULATOR).trimmed().isEmpty();
const int fileCount = 1500;

QString sha256(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// A home with |fileCount| installed files "d<n>/f<n>" holding "old <n>", their new versions
// "new <n>" with checksums, an all-or-nothing description and an application to restart.
struct Upgrade {
    QTemporaryDir tmp;
    QString home = QFileInfo(tmp.path()).canonicalFilePath() + "/home";
    QString desc = home + "/new/files.json";

    Upgrade()
    {
        QStringList records;
        for (int i = 0; i < fileCount; ++i) {
            const QString path = QString("d%1/f%2").arg(i % 30).arg(i);
            writeFile(home + '/' + path, "old " + QByteArray::number(i));
            const QByteArray data = "new " + QByteArray::number(i);
            writeFile(home + "/new/" + path, data);
            records << QString("{'path':'%1','sha256':'%2'}").arg(path, sha256(data));
        }
        writeFile(home + "/conf.json",
            doc("{'upgrade':{'new-arrival':{'file-location':'new','file-desc':'new/"
                "files.json'}}}"));
        writeFile(desc,
            doc(qPrintable("{'all-or-nothing':true,'files-ex':[" + records.join(',') + "]}")));
    }

    // "old", "new", or "mixed" with the counts, over every installed file.
    std::string installed() const
    {
        int olds = 0, news = 0;
        for (int i = 0; i < fileCount; ++i) {
            const QByteArray data = readAll(home + QString("/d%1/f%2").arg(i % 30).arg(i));
            olds += data == "old " + QByteArray::number(i);
            news += data == "new " + QByteArray::number(i);
        }
        if (olds == fileCount || news == fileCount)
            return olds == fileCount ? "old" : "new";
        return "mixed: " + std::to_string(olds) + " old, " + std::to_string(news) + " new";
    }

    // Every file under home with its size and inode: what a refused run must leave as it was.
    QStringList snapshot() const
    {
        QStringList entries;
        QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const struct stat st = statOf(it.next());
            entries << it.filePath() + ' ' + QString::number(st.st_ino) + ' '
                    + QString::number(st.st_size);
        }
        entries.sort();
        return entries;
    }
};

std::vector<QByteArray> deployCommand(const QString& home)
{
    std::vector<QByteArray> words;
    for (const QString& word : QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts))
        words.push_back(QFile::encodeName(word));
    words.push_back(UPGRADE_DEPLOY_BIN);
    words.push_back(QFile::encodeName("-homedir=" + home));
    words.push_back("-appname=app");
    return words;
}

// Starts a run on |home| that stops itself before its |at|-th rename there, and returns once it
// has stopped: it then holds the lock and is halfway through its work. Its log goes to |log|.
pid_t startHeld(const QString& home, int at, const QString& log)
{
    std::vector<QByteArray> words = deployCommand(home);
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const QByteArray preload = emulated ? "LD_PRELOAD=" UPGRADE_FAULTFS_LIB : UPGRADE_FAULTFS_LIB;
    const QByteArray dirs = QFile::encodeName(home), logName = QFile::encodeName(log);
    const QByteArray count = QByteArray::number(at);
    const pid_t pid = fork();
    if (pid == 0) {
        ::alarm(120);
        const int out = ::open(logName.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::setenv(emulated ? "QEMU_SET_ENV" : "LD_PRELOAD", preload.constData(), 1);
        ::setenv("FAULTFS_DIRS", dirs.constData(), 1);
        ::setenv("FAULTFS_CALLS", "rename", 1);
        ::setenv("FAULTFS_ACTION", "stop-before", 1);
        ::setenv("FAULTFS_AT", count.constData(), 1);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && (::waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)))
        return -1;
    return pid;
}

// Lets a held run go on, or kills it, and returns its exit status (128 + signal when killed).
int finishHeld(pid_t pid, int signal)
{
    ::kill(pid, signal);
    int status = 0;
    while (::waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
        ::kill(pid, SIGCONT);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Outcome {
    int code = -1;
    QString log;
};

Outcome deploy(const QString& home)
{
    QStringList command;
    for (const QByteArray& word : deployCommand(home))
        command << QFile::decodeName(word);
    QProcess process;
    process.start(command.takeFirst(), command);
    Outcome run;
    if (!process.waitForFinished(emulated ? 600000 : 120000)) {
        process.kill();
        process.waitForFinished(-1);
        return run;
    }
    if (process.exitStatus() == QProcess::NormalExit)
        run.code = process.exitCode();
    run.log = QString::fromUtf8(process.readAllStandardOutput());
    return run;
}

struct ConcurrentRow {
    const char* name;
    int stopAt; // the rename before which the first run is held
    int signal; // then SIGCONT lets it go on, SIGKILL ends it
};
void PrintTo(const ConcurrentRow& row, std::ostream* out) { *out << row.name; }

const ConcurrentRow concurrentRows[] = {
    { "HeldBeforeItsFirstRename", 1, SIGCONT },
    { "HeldHalfway", fileCount / 2, SIGCONT },
    { "HeldNearItsEnd", fileCount, SIGCONT },
    { "KilledHalfwayLeavesNoLockBehind", fileCount / 2, SIGKILL },
};

class Concurrent : public testing::TestWithParam<ConcurrentRow> { };

// A second run while the first is inside its work is refused: it changes nothing, keeps the
// description and starts nothing. The first one then lands the whole upgrade; a first one killed
// instead leaves no lock, and the next run lands it. Every file is all old or all new throughout.
TEST_P(Concurrent, SecondRunChangesNothingAndTheUpgradeLandsWhole)
{
    const ConcurrentRow& row = GetParam();
    Upgrade upgrade;
    const pid_t first = startHeld(upgrade.home, row.stopAt, upgrade.tmp.path() + "/first.log");
    ASSERT_GT(first, 0);
    const QStringList before = upgrade.snapshot();
    const Outcome second = deploy(upgrade.home);
    EXPECT_EQ(second.code, 1) << s(second.log);
    const QString refused = "Error: another upgrade of '" + upgrade.home + "' is running";
    EXPECT_TRUE(second.log.contains("\n" + refused + "\nState: End\n")) << s(second.log);
    EXPECT_FALSE(second.log.contains("restart")) << s(second.log);
    EXPECT_FALSE(second.log.contains("State: Config-Load")) << s(second.log);
    EXPECT_EQ(upgrade.snapshot(), before);

    const int firstCode = finishHeld(first, row.signal);
    if (row.signal == SIGKILL) {
        EXPECT_EQ(firstCode, 128 + SIGKILL);
        EXPECT_TRUE(QFileInfo::exists(upgrade.desc));
        const Outcome rerun = deploy(upgrade.home);
        EXPECT_EQ(rerun.code, 0) << s(rerun.log);
    } else {
        EXPECT_EQ(firstCode, 0) << s(QString::fromUtf8(readAll(upgrade.tmp.path() + "/first.log")));
    }
    EXPECT_EQ(upgrade.installed(), "new");
    EXPECT_FALSE(QFileInfo::exists(upgrade.desc));
}
INSTANTIATE_TEST_SUITE_P(Rows, Concurrent, testing::ValuesIn(concurrentRows),
    [](const testing::TestParamInfo<ConcurrentRow>& row) { return std::string(row.param.name); });

} // namespace
