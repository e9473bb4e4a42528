// SPDX-License-Identifier: MIT
// Confinement of a path to the real home directory, against real trees of directories and links.
#include "HomePath.h"
#include "support.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace testsupport;

// Trees as makeTree() takes them under a temporary root, with "home" the home directory (or "hl"
// where a row says so) and "out" a tree outside it; |dir| is the directory expected to be opened,
// |checks| as expectTree() takes them.
const struct Case {
    const char *behaviour, *setup, *home, *path;
    bool create;
    TPlace place;
    const char *dir, *checks;
} cases[] = {
    { "a directory inside home", "home/a/", "home", "a/x", false, TPlace::Ok, "home/a", "" },
    { "the home directory itself", "home/", "home", "/x", false, TPlace::Ok, "home", "" },
    { "a home directory given through a link", "home/a/ hl->%R/home", "hl", "a/x", false,
        TPlace::Ok, "home/a", "" },
    { "a relative link that stays inside", "home/a/b/ home/l->a/b", "home", "l/x", false,
        TPlace::Ok, "home/a/b", "" },
    { "an absolute link that leads back inside", "home/a/ home/l->%R/home/a", "home", "l/x", false,
        TPlace::Ok, "home/a", "" },
    { "dot-dot after a link inside goes up from where the link leads", "home/a/b/ home/l->a/b",
        "home", "l/../x", false, TPlace::Ok, "home/a", "" },
    { "a link out of home", "home/l->%R/out out/", "home", "l/x", false, TPlace::Outside, "", "" },
    { "a relative link out of home", "home/l->../out out/", "home", "l/x", false, TPlace::Outside,
        "", "" },
    { "a link to the home directory's parent", "home/up->.. out/", "home", "up/out/x", false,
        TPlace::Outside, "", "" },
    { "dot-dot through a link out of home", "home/l->%R/out/sub out/sub/", "home", "l/../x", false,
        TPlace::Outside, "", "" },
    { "a missing directory is not made unless asked", "home/", "home", "a/x", false,
        TPlace::Missing, "", "home/a-" },
    { "missing directories are made", "home/", "home", "a/b/c/x", true, TPlace::Ok, "home/a/b/c",
        "home/a/b/c/" },
    { "missing directories are made behind dot-dot", "home/", "home", "a/../b/x", true, TPlace::Ok,
        "home/b", "home/a/ home/b/" },
    { "nothing is made through a link out of home", "home/l->%R/out out/", "home", "l/n/m/x", true,
        TPlace::Outside, "", "out/n-" },
    { "nothing is made through a dangling link out of home", "home/l->%R/out/new out/", "home",
        "l/x", true, TPlace::Failed, "", "out/new- home/l->%R/out/new" },
    { "nothing is made through a dangling link inside", "home/l->gone", "home", "l/x", true,
        TPlace::Failed, "", "home/gone-" },
    { "a file on the way", "home/f=F", "home", "f/x", true, TPlace::Failed, "", "home/f=F" },
    { "a loop of links", "home/l->m home/m->l", "home", "l/x", false, TPlace::Failed, "", "" },
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.behaviour; }

class Confinement : public testing::TestWithParam<Case> { };

std::string openedDir(int fd) { return linkText(QString("/proc/self/fd/%1").arg(fd)); }

TEST_P(Confinement, OpensOnlyTheRealDirectoryInsideHome)
{
    const Case& c = GetParam();
    for (const bool beneath : { true, false }) {
        SCOPED_TRACE(beneath ? "openat2" : "realpath");
        QTemporaryDir tmp;
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        makeTree(root, c.setup);
        setBeneathResolution(beneath);
        const THomePath place(root + '/' + c.home, c.path);
        TDirAt dir;
        int error = 0;
        EXPECT_EQ(place.openDir(c.create, dir, error), c.place);
        if (c.place == TPlace::Ok) {
            EXPECT_EQ(openedDir(dir.fd), s(root + '/' + c.dir));
        }
        expectTree(root, c.checks);
    }
    setBeneathResolution(true);
}

INSTANTIATE_TEST_SUITE_P(Paths, Confinement, testing::ValuesIn(cases));

// Where a program to start leads: its last component's links are followed too, as exec does.
TEST(WholePath, FollowsTheLastLinkAsStartingAProgramDoes)
{
    const struct {
        const char *behaviour, *path;
        TPlace place;
    } rows[] = { { "a file inside", "bin/app", TPlace::Ok },
        { "a link to a file inside, by absolute path", "bin/abs", TPlace::Ok },
        { "a link to a file outside", "bin/out", TPlace::Outside },
        { "a relative link out through dot-dot", "bin/up", TPlace::Outside },
        { "a directory linked out on the way", "lo/file", TPlace::Outside },
        { "a missing file", "bin/gone", TPlace::Missing } };
    for (const bool beneath : { true, false }) {
        QTemporaryDir tmp;
        const QString root = QFileInfo(tmp.path()).canonicalFilePath();
        makeTree(root,
            "home/bin/app=A home/bin/abs->%R/home/bin/app home/bin/out->%R/out/file "
            "home/bin/up->../../out/file home/lo->%R/out out/file=F");
        setBeneathResolution(beneath);
        for (const auto& row : rows) {
            int error = 0;
            EXPECT_EQ(THomePath(root + "/home", row.path).resolveWhole(error), row.place)
                << row.behaviour << (beneath ? " (openat2)" : " (realpath)");
        }
    }
    setBeneathResolution(true);
}

TEST(LastComponent, NamesOnlyADirectoryWhenEmptyOrDots)
{
    const struct {
        const char* path;
        const char* name;
        bool directory;
    } rows[] = { { "a/b.txt", "b.txt", false }, { "/lead", "lead", false }, { "a/", "", true },
        { "a/.", ".", true }, { "a/b/..", "..", true } };
    for (const auto& row : rows) {
        const THomePath place("/opt/app", row.path);
        EXPECT_EQ(place.name().toStdString(), row.name) << row.path;
        EXPECT_EQ(place.nameIsDirectory(), row.directory) << row.path;
    }
}

} // namespace
