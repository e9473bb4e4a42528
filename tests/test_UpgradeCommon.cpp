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

#include <string>

#include <sys/stat.h>

namespace {

using namespace testsupport;

// Setup items under a temporary root: "file=content", "dir/", or "@time" for the record's
// modified-time. Checks: "file=content" or "file-" (absent). "home" is the home directory, "new"
// the new-file location, and "~home" the home directory relative to the working directory. The
// outcome is the log followed by deploy's text, or by removeWithKill's result for 'r' rows.
const struct {
    char op;
    const char *home, *path, *setup, *out, *checks;
} fileCases[] = { { 'd', "home", "a/b/c.txt", "new/a/b/c.txt=N", "",
                      "home/a/b/c.txt=N new/a/b/c.txt-" },
    { 'd', "home", "c/x", "home/c/x=O home/c/x.tmp=S new/c/x=N", "", "home/c/x=N home/c/x.tmp-" },
    { 'd', "home", "d.txt", "home/d.txt.tmp=S new/d.txt=N", "", "home/d.txt=N home/d.txt.tmp-" },
    { 'd', "home", "t.txt", "new/t.txt=N @2013-05-17T14:02:00", "", "home/t.txt=N" },
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
    { 'd', "home", "/lead.txt", "new/lead.txt=N", "", "home/lead.txt=N" },
    // The new file is a directory that holds the home directory, so moving it in fails after the
    // backup was made: the installed file must be put back.
    { 'd', "new/p.dat/home", "p.dat", "new/p.dat/home/p.dat=O", "move '%N/p.dat' to '%H' failed",
        "new/p.dat/home/p.dat=O new/p.dat/home/p.dat.tmp-" },
    { 'r', "home", "gone.so", "home/", "false", "" },
    { 'r', "home", "lib.so", "home/lib.so=O", "true", "home/lib.so-" },
    { 'r', "home", "", "home/.tmp=S", "false", "home/.tmp=S" },
    { 'r', "home", "../x", "x=O home/", "false", "x=O" },
    { 'r', "home", "a/../../x", "x=O home/a/", "false", "x=O" },
    { 'r', "home", "/../x", "x=O home/", "false", "x=O" },
    { 'r', "home", "/l.so", "home/l.so=O", "true", "home/l.so-" } };

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
        for (const QString& item : QString(c.setup).split(' ', Qt::SkipEmptyParts)) {
            if (item.startsWith('@'))
                record.modifiedTime = QDateTime::fromString(item.mid(1), Qt::ISODate);
            else if (item.endsWith('/'))
                QDir().mkpath(tree.root + '/' + item);
            else
                writeFile(tree.root + '/' + item.section('=', 0, 0), item.section('=', 1).toUtf8());
        }
        QString result;
        const std::string log = captured([&] {
            result = c.op == 'r' ? QString(record.removeWithKill(home) ? "true" : "false")
                                 : record.deploy(tree.newLoc, home);
        });
        EXPECT_EQ(log + s(result), s(fill(c.out, home, tree.newLoc, tree.root)));
        // Before the checks below read the file and so move its access time.
        if (record.modifiedTime.isValid()) {
            const struct stat st = statOf(home + '/' + c.path);
            EXPECT_EQ(st.st_mtime, record.modifiedTime.toSecsSinceEpoch());
            EXPECT_LE(std::abs(std::time(nullptr) - st.st_atime), 5);
        }
        for (const QString& check : QString(c.checks).split(' ', Qt::SkipEmptyParts)) {
            const QString file = tree.root + '/' + check.section('=', 0, 0);
            if (check.endsWith('-'))
                EXPECT_FALSE(QFileInfo::exists(file.chopped(1))) << s(check);
            else
                EXPECT_EQ(readAll(file).toStdString(), s(check.section('=', 1))) << s(check);
        }
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
        writeFile(tree.newLoc + c.path, "N");
        TReadyFile record(c.path);
        EXPECT_EQ(s(record.deploy(tree.newLoc, tree.home(c.home))), "");
        EXPECT_EQ(statOf(tree.root + "/home/" + c.path).st_mode & 07777, c.mode);
    }
}

} // namespace
