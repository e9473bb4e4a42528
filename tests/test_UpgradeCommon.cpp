// SPDX-License-Identifier: MIT
// Deploying and removing one file, against real files in temporary directories.
#include "UpgradeCommon.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <sys/stat.h>

namespace {

using namespace testsupport;

// Setup items under a temporary root as makeTree() takes them, or "@time" for the record's
// modified-time; checks as expectTree() takes them. "home" is the home directory, "new" the
// new-file location, "out" a tree outside both, and "~home" the home directory relative to the
// working directory. The outcome is the log followed by deploy's text, or by removeWithKill's
// result for 'r' rows.
const struct {
    char op;
    const char *home, *path, *setup, *out, *checks;
} fileCases[] = {
    { 'd', "home", "a/b/c.txt", "home/ new/a/b/c.txt=N", "", "home/a/b/c.txt=N new/a/b/c.txt-" },
    { 'd', "home", "c/x", "home/c/x=O home/c/x.tmp=S new/c/x=N", "", "home/c/x=N home/c/x.tmp-" },
    { 'd', "home", "d.txt", "home/d.txt.tmp=S new/d.txt=N", "", "home/d.txt=N home/d.txt.tmp-" },
    { 'd', "home", "t.txt", "home/ new/t.txt=N @2013-05-17T14:02:00", "", "home/t.txt=N" },
    { 'd', "home", "m.txt", "home/m.txt=O", "'%N/m.txt' not exists", "home/m.txt=O" },
    { 'd', "home", "f/x", "home/f=F new/f/x=N", "create directory '%R/home/f' failed", "home/f=F" },
    { 'd', "home", "k.txt", "home/k.txt=O home/k.txt.tmp/f=S new/k.txt=N",
        "remove '%H/k.txt.tmp' failed", "home/k.txt=O new/k.txt=N" },
    { 'd', "home", "w.txt", "home/w.txt.tmp/f=S new/w.txt=N",
        "Warning: remove '%H/w.txt.tmp' failed\n", "home/w.txt=N" },
    { 'd', "home", "", "home/.tmp=S new/x=N", "file path is empty", "home/.tmp=S" },
    { 'd', "home", "../x", "x=O home/", "'../x' is outside the home directory", "x=O x.tmp-" },
    { 'd', "home", "a/../../x", "x=O home/a/", "'a/../../x' is outside the home directory",
        "x=O x.tmp-" },
    { 'd', "home", "/../x", "x=O home/", "'/../x' is outside the home directory", "x=O x.tmp-" },
    { 'd', "home", "/lead.txt", "home/ new/lead.txt=N", "", "home/lead.txt=N" },
    { 'd', "home", "p.dat", "home/p.dat=O new/p.dat/x=N", "'%N/p.dat' is not a regular file",
        "home/p.dat=O home/p.dat.tmp- new/p.dat/x=N" },
    // Links and other hostile trees: nothing outside home and new may change.
    { 'd', "home", "lib/x", "home/lib->%R/out out/ new/lib/x=N",
        "'lib/x' is outside the home directory", "out/x- new/lib/x=N" },
    { 'd', "home", "lib/n/x", "home/lib->../out out/ new/lib/n/x=N",
        "'lib/n/x' is outside the home directory", "out/n-" },
    { 'd', "home", "lib/../z", "home/lib->%R/out/sub out/sub/ new/z=N",
        "'lib/../z' is outside the home directory", "out/z- home/z-" },
    { 'd', "home", "in/x", "home/real/ home/in->%R/home/real new/in/x=N", "", "home/real/x=N" },
    { 'd', "home", "sub/f", "home/ new/sub->%R/out out/f=K",
        "'sub/f' is outside the new-arrival directory", "out/f=K home/sub-" },
    { 'd', "home", "s.txt", "home/ new/s.txt->%R/out/secret out/secret=K",
        "'%N/s.txt' is not a regular file", "home/s.txt- out/secret=K" },
    { 'd', "home", "f.txt", "home/ new/f.txt|", "'%N/f.txt' is not a regular file", "home/f.txt-" },
    { 'd', "home", "t.dir", "home/t.dir/ new/t.dir=N", "'%H/t.dir' is a directory",
        "home/t.dir/ new/t.dir=N" },
    { 'd', "home", "dl.txt", "home/dl.txt->%R/out/made out/ new/dl.txt=N", "",
        "home/dl.txt=N out/made-" },
    { 'd', "home", "ext/p.dat", "home/ext/p.dat->%R/out/v out/v=V new/ext/p.dat=N", "",
        "home/ext/p.dat=N home/ext/p.dat:0775 out/v=V out/v:0644" },
    { 'r', "home", "gone.so", "home/", "false", "" },
    { 'r', "home", "lib.so", "home/lib.so=O", "true", "home/lib.so-" },
    { 'r', "home", "", "home/.tmp=S", "false", "home/.tmp=S" },
    { 'r', "home", "../x", "x=O home/", "false", "x=O" },
    { 'r', "home", "a/../../x", "x=O home/a/", "false", "x=O" },
    { 'r', "home", "/../x", "x=O home/", "false", "x=O" },
    { 'r', "home", "/l.so", "home/l.so=O", "true", "home/l.so-" },
    { 'r', "home", "lib/y.so", "home/lib->%R/out out/y.so=K", "false", "out/y.so=K" },
    { 'r', "home", "lib/../y.so", "home/lib->%R/out/sub out/sub/ out/y.so=K", "false",
        "out/y.so=K" },
    { 'r', "home", "ln.so", "home/ln.so->%R/out/v out/v=K", "true", "home/ln.so- out/v=K" },
    { 'r', "home", "d.so", "home/d.so/", "false", "home/d.so/" },
};

struct Tree {
    QTemporaryDir tmp;
    QString root = tmp.path(), newLoc = root + "/new/";
    QString home(const char* where) const
    {
        return where[0] == '~' ? QDir::current().relativeFilePath(root + '/' + (where + 1))
                               : root + '/' + where;
    }
};

TEST(FileOps, DeployAndRemoveChangeOnlyWhatTheyMay)
{
    for (const auto& c : fileCases) {
        SCOPED_TRACE(std::string(c.path) + " / " + c.setup);
        Tree tree;
        const QString home = tree.home(c.home);
        TReadyFile record(c.path);
        QStringList items = QString(c.setup).split(' ', Qt::SkipEmptyParts);
        for (const QString& item : items) {
            if (item.startsWith('@'))
                record.modifiedTime = QDateTime::fromString(item.mid(1), Qt::ISODate);
        }
        items.erase(std::remove_if(items.begin(), items.end(),
                        [](const QString& item) { return item.startsWith('@'); }),
            items.end());
        makeTree(tree.root, items.join(' '));
        // The dry run's plan, made before anything moves, tells every refusal the run then gives
        // (a replacement that fails on its way, "remove '...' failed", is no refusal).
        const QString planned = record.plan(tree.newLoc, home, false).refusal;
        QString result;
        const std::string log = captured([&] {
            result = c.op == 'r' ? QString(record.removeWithKill(home) ? "true" : "false")
                                 : record.deploy(tree.newLoc, home);
        });
        EXPECT_EQ(withoutRaces(log) + s(result), s(fill(c.out, home, tree.newLoc, tree.root)));
        if (c.op == 'd' && !result.startsWith("remove '")) {
            EXPECT_EQ(s(planned), s(result)) << "the plan against the run";
        }
        // Before the checks below read the file and so move its access time.
        if (record.modifiedTime.isValid()) {
            const struct stat st = statOf(home + '/' + c.path);
            EXPECT_EQ(st.st_mtime, record.modifiedTime.toSecsSinceEpoch());
            EXPECT_LE(std::abs(std::time(nullptr) - st.st_atime), 5);
        }
        expectTree(tree.root, c.checks);
    }
}

TEST(FileOps, ExecutableModeFollowsThePlaceHoweverHomeIsWritten)
{
    const struct {
        const char *home, *path;
        unsigned mode;
    } cases[] = { { "home", "utqapp", 0775 }, { "home", "lib.so", 0775 },
        { "home", "run.sh", 0775 }, { "home", "lib.so.1", 0644 }, { "home", "x.SO", 0644 },
        { "home", "conf/a.sh", 0644 }, { "home", "ext/p.dat", 0775 },
        { "home", "upgrade/q/r.txt", 0775 }, { "home/", "utqapp", 0775 }, { "home/", "l.so", 0775 },
        { "~home", "l.sh", 0775 }, { "~home", "ext/e.txt", 0775 }, { "~home", "x.txt", 0644 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.home) + " " + c.path);
        Tree tree;
        QDir().mkpath(tree.home(c.home));
        writeFile(tree.newLoc + c.path, "N");
        TReadyFile record(c.path);
        EXPECT_EQ(s(record.deploy(tree.newLoc, tree.home(c.home))), "");
        EXPECT_EQ(statOf(tree.root + "/home/" + c.path).st_mode & 07777, c.mode);
    }
}

// A directory the run makes holds nothing of an earlier run, so it is not searched for leftovers;
// every other directory still is, also when it comes after one the run made.
TEST(FileOps, LeftoversAreRemovedInEveryDirectoryTheRunDidNotMake)
{
    const struct {
        const char *behaviour, *paths, *setup, *checks;
    } rows[] = {
        { "leftovers beside a file in an existing directory are removed", "old/y",
            "home/old/y.tmp=S home/old/y.upgrade-new=J new/old/y=N",
            "home/old/y=N home/old/y.tmp- home/old/y.upgrade-new-" },
        { "an existing directory after a made one still has its leftovers removed", "made/x old/y",
            "home/old/y.tmp=S home/old/y.upgrade-new=J new/made/x=N new/old/y=N",
            "home/made/x=N home/old/y=N home/old/y.tmp- home/old/y.upgrade-new-" },
        { "the home directory after a made one still has its leftovers removed", "made/x y",
            "home/y.tmp=S home/y.upgrade-new=J new/made/x=N new/y=N",
            "home/made/x=N home/y=N home/y.tmp- home/y.upgrade-new-" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        QTemporaryDir tmp;
        makeTree(tmp.path(), row.setup);
        for (const QString& path : QString(row.paths).split(' ')) {
            TReadyFile record(path, nullptr);
            EXPECT_EQ(s(record.deploy(tmp.path() + "/new/", tmp.path() + "/home")), "") << s(path);
        }
        expectTree(tmp.path(), row.checks);
    }
}

} // namespace
