// SPDX-License-Identifier: MIT
// One run at a time per home directory: the lock itself. Two real runs of one upgrade at once are
// the run-lock-* cases of data/e2e (the first one held inside its run by faultfs).
#include "RunLock.h"
#include "support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace testsupport;

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

} // namespace
