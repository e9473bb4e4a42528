// SPDX-License-Identifier: MIT
// The command line of the built program: texts it is asked for must arrive, or it fails.
#include "support.h"

#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace testsupport;

enum class Output { Null, Full, Closed };

struct Row {
    const char* name;
    const char* argument;
    Output output;
    int status;
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const Row rows[] = {
    { "HelpIsWritten", "--help", Output::Null, 0 },
    { "HelpToAFullDiskFails", "--help", Output::Full, 1 },
    { "ShortHelpToAFullDiskFails", "-h", Output::Full, 1 },
    { "HelpToAClosedOutputFails", "--help", Output::Closed, 1 },
    { "VersionToAFullDiskFails", "--version", Output::Full, 1 },
};

// Runs the program (through the emulator of a cross build) with |argument|, its standard output
// as |output| and its standard error into |errFile|; returns its exit status.
int runProgram(const char* argument, Output output, const QString& errFile)
{
    const QByteArray err = QFile::encodeName(errFile);
    return runChild(
        QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts) << UPGRADE_DEPLOY_BIN << argument,
        [&] {
            // The error file first: once the standard output is closed, it would take its number.
            ::dup2(::open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (output == Output::Closed)
                ::close(1);
            else
                ::dup2(::open(output == Output::Full ? "/dev/full" : "/dev/null", O_WRONLY), 1);
        });
}

class CommandLine : public testing::TestWithParam<Row> { };

TEST_P(CommandLine, ExitsOneWhenTheTextCannotBeWritten)
{
    const Row& row = GetParam();
    if (row.output == Output::Closed && QString(UPGRADE_EMULATOR).size() > 0)
        GTEST_SKIP() << "the emulator's own files take a closed descriptor's number";
    QTemporaryDir tmp;
    EXPECT_EQ(runProgram(row.argument, row.output, tmp.path() + "/err"), row.status);
    const std::string err = readAll(tmp.path() + "/err").toStdString();
    if (row.status == 0)
        EXPECT_EQ(err, "");
    else
        EXPECT_EQ(err.rfind("UpgradeDeploy: write to the standard output failed: ", 0), 0u) << err;
}
INSTANTIATE_TEST_SUITE_P(Outputs, CommandLine, testing::ValuesIn(rows),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

} // namespace
