// SPDX-License-Identifier: MIT
// The rollback store on real trees: what a save keeps, what a restore puts back, what a load
// refuses; and the health check on real child processes.
#include "HealthCheck.h"
#include "RollbackStore.h"
#include "Room.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testsupport;

// A temporary root with the home directory under it; %R in trees and texts is the root.
struct Root {
    QTemporaryDir tmp;
    const QString root = QFileInfo(tmp.path()).canonicalFilePath();
    const QString home = root + "/home";
    const QString store = home + "/.upgrade-rollback";
    Root() { QDir().mkpath(home); }
};

// One save, an upgrade done by hand, and a restore of every entry, last first.
struct StoreRow {
    const char* name;
    const char* before; // makeTree items under the root
    QStringList files, removals;
    const char* upgrade; // makeTree items "home/..." the "upgrade" puts in place of what was there
    QStringList gone; // paths under home the "upgrade" deletes
    const char* saveError; // expected text (%R the root); "" when the save succeeds
    const char* after; // expectTree items after the restore
};

const StoreRow storeRows[] = {
    { "ReplacedRemovedAndFreshPathsComeBackAsTheyWere", "home/a=old home/b=gone",
        { "a", "n/fresh" }, { "b" }, "home/a=new home/n/fresh=x", { "b" }, "",
        "home/a=old home/b=gone home/n/fresh- home/.upgrade-rollback/" },
    { "LinkIsSavedAndPutBackAsTheLinkItself", "outside=keep home/l->%R/outside", { "l" }, {}, "",
        { "l" }, "", "home/l->%R/outside outside=keep" },
    { "PathListedTwiceKeepsTheFirstVersion", "home/a=old", { "a", "a" }, { "a" }, "home/a=new", {},
        "", "home/a=old" },
    { "PathInTheStoreIsRefused", "home/a=old", { "a", ".upgrade-rollback/manifest.json" }, {}, "",
        {}, "'%R/home/.upgrade-rollback/manifest.json' is inside the rollback store", "" },
    { "PathReachingTheStoreThroughALinkIsRefused", "home/s->%R/home/.upgrade-rollback", {},
        { "s/0" }, "", {}, "'%R/home/s/0' is inside the rollback store", "" },
    { "StoreThatIsALinkIsNeverFollowed", "elsewhere/ home/.upgrade-rollback->%R/elsewhere", { "a" },
        {}, "", {}, "open '%R/home/.upgrade-rollback' failed: Not a directory",
        "elsewhere/manifest.json-" },
    { "PathOutsideHomeIsLeftToTheRun", "outside=keep home/a=old", { "../outside", "a" }, {},
        "home/a=new", {}, "", "home/a=old outside=keep" },
};

void PrintTo(const StoreRow& row, std::ostream* os) { *os << row.name; }

class StoreRows : public testing::TestWithParam<StoreRow> { };

TEST_P(StoreRows, SaveAndRestoreAsTheRowSays)
{
    const StoreRow& row = GetParam();
    Root r;
    makeTree(r.root, row.before);
    TRollbackStore store(r.home);
    QString error;
    const bool saved = store.save("sum", row.files, row.removals, error);
    EXPECT_EQ(s(error), s(fill(row.saveError, {}, {}, r.root)));
    if (!saved) {
        expectTree(r.root, row.after);
        return;
    }
    // As the run does: a new file is renamed over the path, never written into the old one.
    QStringList replaced = row.gone;
    for (const QString& item : QString(row.upgrade).split(' ', Qt::SkipEmptyParts))
        replaced << item.section('=', 0, 0).mid(5);
    for (const QString& path : replaced)
        QFile::remove(r.home + '/' + path);
    makeTree(r.root, row.upgrade);
    TRollbackStore loaded(r.home);
    ASSERT_TRUE(loaded.load(error)) << s(error);
    EXPECT_EQ(loaded.state(), TStoreState::Installing);
    for (int i = loaded.entries().size() - 1; i >= 0; --i) {
        EXPECT_TRUE(loaded.restore(loaded.entries().at(i), error)) << s(error);
        // Repeated after a cut: nothing more happens.
        EXPECT_TRUE(loaded.restore(loaded.entries().at(i), error)) << s(error);
    }
    expectTree(r.root, row.after);
    ASSERT_TRUE(loaded.drop(error)) << s(error);
    expectTree(r.root, "home/.upgrade-rollback-");
}

INSTANTIATE_TEST_SUITE_P(Store, StoreRows, testing::ValuesIn(storeRows),
    [](const testing::TestParamInfo<StoreRow>& param) { return std::string(param.param.name); });

// The manifest a load finds: anything but a whole manifest of this program is refused.
struct LoadRow {
    const char* name;
    const char* store; // makeTree items under the store ("" for no store at all)
    QByteArray manifest; // written as the manifest unless null
    bool loads;
    TStoreState state;
    bool malformed; // only such a store may -commit drop unread
};

const LoadRow loadRows[] = {
    { "NoStoreIsNothingToDo", "", {}, true, TStoreState::None, false },
    { "StoreWithoutManifestIsNothingToDo", "0=left", {}, true, TStoreState::None, false },
    { "LandedManifestLoads", "",
        doc("{'state':'landed','entries':[{'path':'a','kind':'replaced',"
            "'saved':0},{'path':'b','kind':'fresh'}]}"),
        true, TStoreState::Landed, false },
    { "UnknownStateIsRefused", "", doc("{'state':'done','entries':[]}"), false, TStoreState::None,
        true },
    { "ReplacedEntryWithoutSavedFileIsRefused", "",
        doc("{'state':'landed','entries':[{'path':'a','kind':'replaced'}]}"), false,
        TStoreState::Landed, true },
    { "EntryOfUnknownKindIsRefused", "",
        doc("{'state':'landed','entries':[{'path':'a','kind':'moved','saved':0}]}"), false,
        TStoreState::Landed, true },
    { "ManifestCutShortIsRefused", "", doc("{'state':'landed','entries':[{'pa"), false,
        TStoreState::Landed, true },
    { "ManifestThatIsALinkIsRefused", "manifest.json->%R/elsewhere", {}, false, TStoreState::None,
        false },
    { "ManifestThatIsAFifoIsRefusedWithoutWaiting", "manifest.json|", {}, false, TStoreState::None,
        false },
};

void PrintTo(const LoadRow& row, std::ostream* os) { *os << row.name; }

class LoadRows : public testing::TestWithParam<LoadRow> { };

TEST_P(LoadRows, LoadAsTheRowSays)
{
    const LoadRow& row = GetParam();
    Root r;
    makeTree(r.root, "elsewhere=x");
    if (*row.store || !row.manifest.isNull())
        QDir().mkpath(r.store);
    makeTree(r.store, QString(row.store).replace("%R", r.root));
    if (!row.manifest.isNull())
        writeFile(r.store + "/manifest.json", row.manifest);
    TRollbackStore store(r.home);
    QString error;
    EXPECT_EQ(store.load(error), row.loads) << s(error);
    EXPECT_EQ(store.isMalformed(), row.malformed);
    if (row.loads) {
        EXPECT_EQ(store.state(), row.state);
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, LoadRows, testing::ValuesIn(loadRows),
    [](const testing::TestParamInfo<LoadRow>& param) { return std::string(param.param.name); });

// A directory of home on another file system (a tmpfs mounted there): the previous version is
// copied into the store and copied back, with its bytes, mode and time.
TEST(OtherFileSystem, SavedByCopyAndPutBackWhole)
{
    Root r;
    const QString mount = r.home + "/mnt";
    QDir().mkpath(mount);
    if (::mount("tmpfs", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a tmpfs is refused here";
    const QDateTime time = QDateTime::fromString("2001-02-03 04:05:06", timeFormat);
    writeFile(mount + "/a", "old", 0640);
    setTime(mount + "/a", time);
    TRollbackStore store(r.home);
    QString error;
    EXPECT_TRUE(store.save("sum", { "mnt/a" }, {}, error)) << s(error);
    writeFile(mount + "/a", "new", 0644);
    EXPECT_TRUE(store.restore(store.entries().at(0), error)) << s(error);
    expectTree(r.home, "mnt/a=old mnt/a:0640 mnt/a.rollback-new- .upgrade-rollback/0-");
    EXPECT_EQ(statOf(mount + "/a").st_mtime, time.toSecsSinceEpoch());
    ::umount2(QFile::encodeName(mount).constData(), MNT_DETACH);
}

// The room a store will take: a file on the home directory's file system is kept by a hard link
// (nothing), one on another file system by a copy (its size, in whole blocks, on home's).
TEST(OtherFileSystem, CopiesCountAgainstTheHomeDirectorysRoom)
{
    Root r;
    const QString mount = r.home + "/mnt";
    QDir().mkpath(mount);
    if (::mount("tmpfs", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a tmpfs is refused here";
    writeFile(mount + "/a", QByteArray(5000, 'a'));
    writeFile(r.home + "/b", QByteArray(70000, 'b'));
    TRoom linked, copied;
    linked.addSaved(r.home, "b");
    copied.addSaved(r.home, "mnt/a");
    copied.addSaved(r.home, "mnt/missing");
    const quint64 linkedNeed = linked.fileSystems().isEmpty() ? 0 : linked.fileSystems()[0].needed;
    EXPECT_EQ(linkedNeed, 0u);
    ASSERT_EQ(copied.fileSystems().size(), 1);
    const TRoom::TFileSystem& home = copied.fileSystems()[0];
    EXPECT_EQ(home.dir, r.home);
    EXPECT_GE(home.needed, 5000u);
    EXPECT_EQ(home.needed % home.blockSize, 0u);
    ::umount2(QFile::encodeName(mount).constData(), MNT_DETACH);
}

// ---- The health check: real programs, generous timeouts only where the row must not time out.

struct HealthRow {
    const char* name;
    const char* script;
    mode_t mode;
    int timeout;
    bool passes;
    const char* why; // %R the root
};

const HealthRow healthRows[] = {
    { "ExitZeroPasses", "exit 0", 0755, 60, true, "" },
    { "OtherExitStatusFails", "exit 3", 0755, 60, false, "exit status 3" },
    { "EndedBySignalFails", "kill -9 $$", 0755, 60, false, "ended by signal 9" },
    { "NoAnswerInTimeFailsAndEndsTheGroup", "sleep 60 & echo $! >\"$0.pid\"; wait", 0755, 1, false,
        "no answer within 1 s" },
    { "ProgramThatCannotRunFails", "exit 0", 0644, 60, false,
        "start '%R/home/health.sh' failed: Permission denied" },
    { "RunsInTheHomeDirectoryWithNothingOnItsStandardInput",
        "[ \"$(pwd -P)\" = \"${0%/health.sh}\" ] && ! read line", 0755, 60, true, "" },
};

void PrintTo(const HealthRow& row, std::ostream* os) { *os << row.name; }

class HealthRows : public testing::TestWithParam<HealthRow> { };

bool gone(pid_t pid)
{
    const QByteArray stat = readAll(QString("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.contains(") Z ");
}

TEST_P(HealthRows, ExitStatusAndTimeoutDecide)
{
    const HealthRow& row = GetParam();
    Root r;
    const QString program = r.home + "/health.sh";
    writeFile(program, QByteArray("#!/bin/sh\n") + row.script + '\n', row.mode);
    QString why;
    EXPECT_EQ(runHealthCheck(program, r.home, row.timeout, why), row.passes);
    EXPECT_EQ(s(why), s(fill(row.why, {}, {}, r.root)));
    const pid_t left = readAll(program + ".pid").trimmed().toInt();
    if (left <= 0)
        return;
    // The program's own child was killed with it: gone, or a zombie of whoever inherited it.
    for (int i = 0; i < 500 && !gone(left); ++i)
        usleep(10000);
    EXPECT_TRUE(gone(left));
}

INSTANTIATE_TEST_SUITE_P(Health, HealthRows, testing::ValuesIn(healthRows),
    [](const testing::TestParamInfo<HealthRow>& param) { return std::string(param.param.name); });

} // namespace
