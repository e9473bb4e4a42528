// SPDX-License-Identifier: MIT
// The atomic replacement of a small file: what stands at the name and at the temporary name
// afterwards, for every kind of thing a hostile directory can hold there.
#include "FileDescriptor.h"
#include "support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>

using namespace testsupport;

namespace {

struct ReplaceCase {
    const char* name;
    const char* before; // makeTree notation under the directory
    mode_t mode;
    TReplaceStep step;
    const char* after; // expectTree notation under the directory
};

const ReplaceCase replaceCases[] = {
    { "NewFileGetsTheModeAndNoTemporaryStays", "", 0640, TReplaceStep::Done,
        "f=new f:0640 f.new-" },
    { "OldFileIsReplacedWhole", "f=old", 0600, TReplaceStep::Done, "f=new f:0600 f.new-" },
    { "LeftoverTemporaryIsNeverTheFile", "f=old f.new=cut", 0600, TReplaceStep::Done,
        "f=new f.new-" },
    { "LinkAtTheNameIsReplacedNotFollowed", "f->%R/outside outside=kept", 0600, TReplaceStep::Done,
        "f=new outside=kept" },
    { "LinkAtTheTemporaryNameIsNotWrittenThrough", "f.new->%R/outside outside=kept", 0600,
        TReplaceStep::Done, "f=new outside=kept f.new-" },
    { "DirectoryAtTheTemporaryNameStopsBeforeAnythingIsWritten", "f=old f.new/x=1", 0600,
        TReplaceStep::Clear, "f=old f.new/" },
    { "DirectoryAtTheNameFailsTheRenameAndTheTemporaryGoes", "f/x=1", 0600, TReplaceStep::Rename,
        "f/ f.new-" },
};

class Replace : public ::testing::TestWithParam<ReplaceCase> { };

TEST_P(Replace, LeavesTheNewFileOrTheOldOne)
{
    const ReplaceCase& c = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    makeTree(tmp.path(), QString::fromUtf8(c.before));
    const TFileDescriptor dir(
        ::open(QFile::encodeName(tmp.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int error = 0;
    EXPECT_EQ(replaceFileAt(dir.get(), "f", "f.new", "new", c.mode, error), c.step) << error;
    EXPECT_EQ(c.step == TReplaceStep::Done, error == 0);
    expectTree(tmp.path(), QString::fromUtf8(c.after));
}

INSTANTIATE_TEST_SUITE_P(Rows, Replace, ::testing::ValuesIn(replaceCases),
    [](const auto& row) { return std::string(row.param.name); });

// A closed standard descriptor gets /dev/null, so the next file opened does not take its number.
TEST(StandardDescriptors, ClosedOneIsFilledBeforeAFileCanTakeIt)
{
    const int status = runChild({}, [] {
        ::close(STDOUT_FILENO);
        if (!guardStandardDescriptors())
            ::_exit(2);
        const int opened = ::open("/dev/null", O_RDONLY);
        ::_exit(opened > STDERR_FILENO ? 0 : 1);
    });
    EXPECT_EQ(status, 0);
}

} // namespace
