// SPDX-License-Identifier: MIT
// The command line of the built program: texts it is asked for must arrive, or it fails.
#include "support.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
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
// as |output| and its standard error into |err|; returns its exit status, or -1.
int runProgram(const char* argument, Output output, std::string& err)
{
    int errPipe[2];
    if (::pipe(errPipe) != 0)
        return -1;
    std::vector<std::string> words;
    for (const QString& word : QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts))
        words.push_back(s(word));
    words.push_back(UPGRADE_DEPLOY_BIN);
    words.push_back(argument);
    const pid_t pid = fork();
    if (pid == 0) {
        ::alarm(60); // nothing may hang
        if (output != Output::Closed)
            ::dup2(::open(output == Output::Full ? "/dev/full" : "/dev/null", O_WRONLY), 1);
        else if (output == Output::Closed)
            ::close(1);
        ::dup2(errPipe[1], 2);
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(errPipe[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(errPipe[0], buffer, sizeof buffer)) > 0)
        err.append(buffer, static_cast<size_t>(got));
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CommandLine : public testing::TestWithParam<Row> { };

TEST_P(CommandLine, ExitsOneWhenTheTextCannotBeWritten)
{
    const Row& row = GetParam();
    if (row.output == Output::Closed && QString(UPGRADE_EMULATOR).size() > 0)
        GTEST_SKIP() << "the emulator's own files take a closed descriptor's number";
    std::string err;
    EXPECT_EQ(runProgram(row.argument, row.output, err), row.status);
    if (row.status == 0)
        EXPECT_EQ(err, "");
    else
        EXPECT_EQ(err.rfind("UpgradeDeploy: write to the standard output failed: ", 0), 0u) << err;
}
INSTANTIATE_TEST_SUITE_P(Outputs, CommandLine, testing::ValuesIn(rows),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

} // namespace
