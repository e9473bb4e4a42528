// SPDX-License-Identifier: MIT
// Replacing one installed file, step by step, on real files: on the home directory's file system
// and with the new-arrival directory on another one (/dev/shm, a tmpfs).
#include "FileReplacement.h"
#include "UpgradeCommon.h"
#include "support.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace testsupport;

const QDateTime arrivalTime = QDateTime::fromString("2001-02-03 04:05:06", timeFormat);

bool sharedMemoryIsApart()
{
    return QFileInfo("/dev/shm").isDir()
        && statOf("/dev/shm").st_dev != statOf(QDir::tempPath()).st_dev;
}

// What happens to one name in a directory, in order: 'F' moved away, 'T' moved in (over what
// stood there), 'D' deleted, 'C' created, 'A' attributes changed. The target name of a replacement
// must see exactly "T": it never goes empty, and the new file has its mode and time before.
struct Watch {
    int fd;
    explicit Watch(const QString& dir)
        : fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(fd, QFile::encodeName(dir).constData(),
            IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_CREATE | IN_ATTRIB);
    }
    ~Watch() { ::close(fd); }
    std::string events(const QByteArray& name) const
    {
        char buffer[64 * 1024];
        std::string seen;
        ssize_t size;
        while ((size = ::read(fd, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + size;) {
                inotify_event event;
                std::memcpy(&event, at, sizeof event);
                const char* eventName = at + sizeof event;
                at += sizeof event + event.len;
                if (event.len == 0 || name != eventName)
                    continue;
                const std::pair<uint32_t, char> kinds[]
                    = { { IN_MOVED_FROM, 'F' }, { IN_MOVED_TO, 'T' }, { IN_DELETE, 'D' },
                          { IN_CREATE, 'C' }, { IN_ATTRIB, 'A' } };
                for (const auto& kind : kinds) {
                    if (event.mask & kind.first)
                        seen += kind.second;
                }
            }
        }
        return seen;
    }
};

// A home directory under a temporary root, and the new-arrival directory beside it or, |apart|,
// on another file system. Items and checks that start with "new/" lie in the new-arrival
// directory; the others under the root.
struct Layout {
    QTemporaryDir tmp;
    std::unique_ptr<QTemporaryDir> other;
    QString root = tmp.path(), home = root + "/home", arrival = root + "/new";

    explicit Layout(bool apart)
    {
        if (apart) {
            other = std::make_unique<QTemporaryDir>("/dev/shm/upgrade-test-XXXXXX");
            arrival = other->path();
        }
        QDir().mkpath(home);
        QDir().mkpath(arrival);
    }
    template <class F> void each(const QString& items, F&& apply)
    {
        for (const QString& item : items.split(' ', Qt::SkipEmptyParts)) {
            if (item.startsWith("new/"))
                apply(arrival, item.mid(4));
            else
                apply(root, item);
        }
    }
    void make(const QString& items) { each(items, makeTree); }
    void expect(const QString& items) { each(items, expectTree); }
    QString deploy(const char* path, const char* time = nullptr, bool keepBackup = false)
    {
        TReadyFile record(path);
        if (time)
            record.modifiedTime = QDateTime::fromString(time, timeFormat);
        return record.deploy(arrival + '/', home, keepBackup);
    }
};

// The new file arrives as new/<path> with |mode| and the arrival time; |time| is the described
// modified-time, which the installed file must carry, or else the arrival time.
const struct Step {
    const char* behaviour;
    bool apart;
    const char *setup, *path;
    mode_t mode;
    const char* time;
    bool keepBackup;
    const char* checks;
} steps[] = {
    { "the backup is a second name of the installed file", false, "home/k.txt=O new/k.txt=N",
        "k.txt", 0644, nullptr, true, "home/k.txt=N home/k.txt.tmp=O new/k.txt-" },
    { "the backup is dropped once the new file is in", false, "home/k.txt=O new/k.txt=N", "k.txt",
        0644, nullptr, false, "home/k.txt=N home/k.txt.tmp-" },
    { "a new file keeps the mode it arrived with", false, "new/conf/a.dat=N", "conf/a.dat", 0750,
        nullptr, false, "home/conf/a.dat=N home/conf/a.dat:0750" },
    { "an executable gets mode 0775 whatever it arrived with", false, "new/ext/e.dat=N",
        "ext/e.dat", 0600, nullptr, false, "home/ext/e.dat:0775" },
    { "the described time is applied", false, "home/t.txt=O new/t.txt=N", "t.txt", 0644,
        "2013-05-17 14:02:00", false, "home/t.txt=N" },
    { "leftovers of a cut-off run are removed", false,
        "home/k.txt=O home/k.txt.tmp=S home/k.txt.upgrade-new=J new/k.txt=N", "k.txt", 0644,
        nullptr, false, "home/k.txt=N home/k.txt.tmp- home/k.txt.upgrade-new-" },
    { "a leftover copy is removed on a first install too", false,
        "home/k.txt.upgrade-new=J new/k.txt=N", "k.txt", 0644, nullptr, false,
        "home/k.txt=N home/k.txt.upgrade-new-" },
    { "a new file from another file system is copied in whole", true, "home/k.txt=O new/k.txt=N",
        "k.txt", 0750, nullptr, false,
        "home/k.txt=N home/k.txt:0750 home/k.txt.tmp- home/k.txt.upgrade-new- new/k.txt-" },
    { "a copied executable gets mode 0775", true, "new/ext/e.dat=N", "ext/e.dat", 0600, nullptr,
        false, "home/ext/e.dat=N home/ext/e.dat:0775 new/ext/e.dat-" },
    { "a copy gets the described time", true, "new/t.txt=N", "t.txt", 0644, "2013-05-17 14:02:00",
        false, "home/t.txt=N" },
    { "a backup kept for undoing is the installed file, not a stale one", false,
        "home/k.txt=O home/k.txt.tmp=S new/k.txt=N", "k.txt", 0644, nullptr, true,
        "home/k.txt=N home/k.txt.tmp=O" },
    { "a copy keeps the backup when asked", true, "home/k.txt=O new/k.txt=N", "k.txt", 0644,
        nullptr, true, "home/k.txt=N home/k.txt.tmp=O home/k.txt.upgrade-new-" },
};

void PrintTo(const Step& step, std::ostream* out) { *out << step.behaviour; }

class Replacement : public testing::TestWithParam<Step> { };

TEST_P(Replacement, LeavesTheNewFileInPlaceWithItsModeAndTime)
{
    const Step& c = GetParam();
    if (c.apart && !sharedMemoryIsApart())
        GTEST_SKIP() << "/dev/shm is not a file system of its own here";
    Layout layout(c.apart);
    layout.make(c.setup);
    const QString source = layout.arrival + '/' + c.path;
    ::chmod(QFile::encodeName(source).constData(), c.mode);
    setTime(source, arrivalTime);
    const QString target = layout.home + '/' + c.path;
    const ino_t installed = statOf(target).st_ino;
    QDir().mkpath(QFileInfo(target).absolutePath());
    const Watch watch(QFileInfo(target).absolutePath());

    QString result;
    EXPECT_EQ(
        withoutRaces(captured([&] { result = layout.deploy(c.path, c.time, c.keepBackup); })), "");
    EXPECT_EQ(s(result), "");
    EXPECT_EQ(watch.events(QFileInfo(target).fileName().toUtf8()), "T");
    const QDateTime expected = c.time ? QDateTime::fromString(c.time, timeFormat) : arrivalTime;
    EXPECT_EQ(statOf(target).st_mtime, expected.toSecsSinceEpoch());
    if (c.keepBackup) {
        EXPECT_EQ(statOf(target + ".tmp").st_ino, installed);
    }
    layout.expect(c.checks);
}

INSTANTIATE_TEST_SUITE_P(Steps, Replacement, testing::ValuesIn(steps));

// A replacement made with keepBackup after its journal entry was planned, then, after |meddle|
// (items made under the root, as a cut-off run or the application might leave them), undone: only
// what the entry owns is put back or removed.
const struct UndoRow {
    const char* behaviour;
    bool apart;
    const char *setup, *meddle;
    TUndo result;
    const char* checks;
} undoRows[] = {
    { "the installed file comes back", false, "home/k.txt=O new/k.txt=N", "", TUndo::Restored,
        "home/k.txt=O home/k.txt.tmp-" },
    { "a file that was not there goes", false, "new/k.txt=N", "", TUndo::Restored,
        "home/k.txt- home/k.txt.tmp-" },
    { "a link that stood at the target comes back as a link", false,
        "home/k.txt->%R/out/v out/v=V new/k.txt=N", "", TUndo::Restored,
        "home/k.txt->%R/out/v out/v=V" },
    { "a copied file that was not there goes", true, "new/k.txt=N", "", TUndo::Restored,
        "home/k.txt-" },
    { "a copied file is replaced by the installed one", true, "home/k.txt=O new/k.txt=N", "",
        TUndo::Restored, "home/k.txt=O home/k.txt.tmp-" },
    { "a fresh file written over since is left alone", false, "new/k.txt=N", "home/k.txt=X",
        TUndo::Untouched, "home/k.txt=X" },
    { "a copied fresh file changed since is left alone", true, "new/k.txt=N", "home/k.txt=X",
        TUndo::Untouched, "home/k.txt=X" },
    { "a backup that is not the recorded file is never put back", false, "home/k.txt=O new/k.txt=N",
        "home/k.txt.tmp=S", TUndo::Failed, "home/k.txt=N home/k.txt.tmp=S" },
    { "a target changed since is not replaced", false, "home/k.txt=O new/k.txt=N", "home/k.txt=X",
        TUndo::Failed, "home/k.txt=X home/k.txt.tmp=O" },
};

void PrintTo(const UndoRow& row, std::ostream* out) { *out << row.behaviour; }

class Undo : public testing::TestWithParam<UndoRow> { };

TEST_P(Undo, PutsBackOnlyWhatTheJournalOwns)
{
    const UndoRow& row = GetParam();
    if (row.apart && !sharedMemoryIsApart())
        GTEST_SKIP() << "/dev/shm is not a file system of its own here";
    Layout layout(row.apart);
    layout.make(row.setup);
    TJournalEntry entry;
    ASSERT_TRUE(planReplacement(layout.home, layout.arrival + '/', "k.txt", QString(), entry));
    EXPECT_EQ(entry.freshSha256.isEmpty(), !row.apart);
    EXPECT_EQ(s(layout.deploy("k.txt", nullptr, true)), "");
    // A meddler writes a new file beside the one it replaces and renames it over: the old inode
    // is still in use while the new one is made, so the file system cannot hand out its number.
    for (const QString& item : QString(row.meddle).split(' ', Qt::SkipEmptyParts)) {
        const QString path = layout.root + '/' + item.section('=', 0, 0);
        writeFile(path + ".meddle", item.section('=', 1).toUtf8());
        ASSERT_EQ(::rename(QFile::encodeName(path + ".meddle"), QFile::encodeName(path)), 0);
    }
    EXPECT_EQ(undoReplacement(layout.home, entry), row.result);
    layout.expect(row.checks);
}

INSTANTIATE_TEST_SUITE_P(Rows, Undo, testing::ValuesIn(undoRows));

// Names up to NAME_MAX bytes: where "<name>.tmp" or "<name>.upgrade-new" would not fit, the backup
// and the copy get a shorter name of their own, no step warns about a leftover that was never
// there, and the replacement is undone from that backup.
const struct LongNameRow {
    const char* behaviour;
    int length; // of the name, in bytes
    bool apart;
    bool installed; // a file stands at the target before
} longNameRows[] = {
    { "a name that leaves room for both suffixes", 243, false, true },
    { "a name too long for the copy's suffix only", 244, false, true },
    { "a name one byte too long for the backup's suffix", 252, false, true },
    { "a name of NAME_MAX bytes", 255, false, true },
    { "a fresh install of a name of NAME_MAX bytes", 255, false, false },
    { "a name of NAME_MAX bytes copied from another file system", 255, true, true },
};

void PrintTo(const LongNameRow& row, std::ostream* out) { *out << row.behaviour; }

class LongName : public testing::TestWithParam<LongNameRow> { };

TEST_P(LongName, IsReplacedAndUndoneWithoutAWord)
{
    const LongNameRow& row = GetParam();
    if (row.apart && !sharedMemoryIsApart())
        GTEST_SKIP() << "/dev/shm is not a file system of its own here";
    Layout layout(row.apart);
    // Two-byte characters, so that a cut would fall inside one where it is not careful.
    const QString name = QString(row.length / 2, QChar(0xE9)) + QString(row.length % 2, 'x');
    ASSERT_EQ(QFile::encodeName(name).size(), row.length);
    if (row.installed)
        writeFile(layout.home + '/' + name, "O");
    writeFile(layout.arrival + '/' + name, "N");
    TJournalEntry entry;
    ASSERT_TRUE(planReplacement(layout.home, layout.arrival + '/', name, QString(), entry));
    TReadyFile record(name);
    QString result;
    EXPECT_EQ(withoutRaces(captured(
                  [&] { result = record.deploy(layout.arrival + '/', layout.home, true); })),
        "");
    EXPECT_EQ(s(result), "");
    EXPECT_EQ(readAll(layout.home + '/' + name), "N");
    const QString backup = layout.home + '/' + QFile::decodeName(entry.backupName);
    EXPECT_LE(entry.backupName.size(), NAME_MAX);
    EXPECT_EQ(QFileInfo::exists(backup), row.installed);
    EXPECT_EQ(QDir(layout.home).entryList(QDir::Files).size(), row.installed ? 2 : 1);
    EXPECT_EQ(undoReplacement(layout.home, entry), TUndo::Restored);
    EXPECT_EQ(readAll(layout.home + '/' + name), row.installed ? "O" : "");
    EXPECT_EQ(QDir(layout.home).entryList(QDir::Files).size(), row.installed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, LongName, testing::ValuesIn(longNameRows));

// fs.protected_hardlinks keeps a user from linking a file it may not read and write, so link(2)
// fails with EPERM as on a file system without hard links: the deployer, run as nobody, must then
// rename the installed file aside and still end with the new file in place.
TEST(Fallback, RenamesTheInstalledFileAsideWhereHardLinksAreRefused)
{
    Layout layout(false);
    layout.make("home/k.txt=O new/k.txt=N");
    const uid_t nobody = 65534;
    for (const QString& path : { layout.home, layout.arrival, layout.arrival + "/k.txt" })
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), nobody, nobody), 0);
    ::chmod(QFile::encodeName(layout.root).constData(), 0755);
    ::chmod(QFile::encodeName(layout.home + "/k.txt").constData(), 0600);
    const Watch watch(layout.home);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            _exit(3);
        const QByteArray target = QFile::encodeName(layout.home + "/k.txt");
        if (::link(target.constData(), (target + ".probe").constData()) == 0 || errno != EPERM)
            _exit(2);
        _exit(layout.deploy("k.txt").isEmpty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2 || WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "links are not refused to an unprivileged user here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(watch.events("k.txt"), "FT");
    layout.expect("home/k.txt=N home/k.txt.tmp- new/k.txt-");
}

// Sets or clears the immutable flag of a directory; false where the file system has none.
bool setImmutable(const QString& dir, bool on)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// The new file cannot leave an immutable new-arrival directory: the move-in fails after the
// backup was made, and the installed file must stay as it was with no backup left.
TEST(Failure, MoveInRefusedLeavesTheInstalledFile)
{
    Layout layout(false);
    layout.make("home/k.txt=O new/k.txt=N");
    if (!setImmutable(layout.arrival, true))
        GTEST_SKIP() << "the file system has no immutable flag";
    QString result;
    captured([&] { result = layout.deploy("k.txt"); });
    setImmutable(layout.arrival, false);
    EXPECT_EQ(s(result), s("move '" + layout.arrival + "//k.txt' to '" + layout.home + "' failed"));
    layout.expect("home/k.txt=O home/k.txt.tmp- new/k.txt=N");
}

// A tmpfs mounted over the home directory, too small for the new file. It is detached lazily: the
// run keeps the home directory open.
struct SmallMount {
    QString dir;
    bool mounted;
    explicit SmallMount(const QString& at)
        : dir(at)
        , mounted(::mount("tmpfs", QFile::encodeName(at).constData(), "tmpfs", 0, "size=64k") == 0)
    {
    }
    ~SmallMount()
    {
        if (mounted)
            ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH);
    }
};

// A copy from another file system that runs out of space must fail, leave the installed file and
// the new one as they were, and leave no partial copy behind.
TEST(Failure, CopyOutOfSpaceLeavesTheInstalledFile)
{
    Layout layout(false);
    SmallMount mount(layout.home);
    if (!mount.mounted)
        GTEST_SKIP() << "mounting a tmpfs is refused here";
    layout.make("home/k.txt=O");
    writeFile(layout.arrival + "/k.txt", QByteArray(256 * 1024, 'N'));
    QString result;
    captured([&] { result = layout.deploy("k.txt"); });
    EXPECT_EQ(s(result), s("move '" + layout.arrival + "//k.txt' to '" + layout.home + "' failed"));
    layout.expect("home/k.txt=O home/k.txt.tmp- home/k.txt.upgrade-new-");
    EXPECT_EQ(statOf(layout.arrival + "/k.txt").st_size, 256 * 1024);
}

} // namespace
