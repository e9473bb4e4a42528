// SPDX-License-Identifier: MIT
// The command line: which option a word sets, which one wins, and which words are warned about.
#include "Options.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct OptionsCase {
    const char* name;
    const char* words; // after the program's path, separated by spaces
    // What the options hold afterwards: "home|app|out|keys|state|delay|flags|unknown", flags as
    // letters g(ui) c(heck) n(o-commit) C(ommit) r(ollback) d(owngrade).
    const char* expected;
};

const OptionsCase optionsCases[] = {
    { "NothingGivenKeepsTheDefaults", "",
        ".|||/etc/upgradedeploy/keys|/var/lib/upgradedeploy|0||" },
    { "EveryTextOptionTakesItsValue", "-homedir=/h -appname=a,b -out=log -keys=k -state=s",
        "/h|a,b|log|k|s|0||" },
    { "EveryFlagIsSet", "-gui -check -no-commit -commit -rollback -allow-downgrade",
        ".|||/etc/upgradedeploy/keys|/var/lib/upgradedeploy|0|gcnCrd|" },
    { "LaterValueOverridesEarlier", "-homedir=/a -homedir=/b",
        "/b|||/etc/upgradedeploy/keys|/var/lib/upgradedeploy|0||" },
    { "InvalidDelayLeavesTheLastValidOne",
        "-delay_sec=5 -delay_sec=-1 -delay_sec=x -delay_sec=2147484",
        ".|||/etc/upgradedeploy/keys|/var/lib/upgradedeploy|5||" },
    { "LargestDelayWhoseMillisecondsFitIsTaken", "-delay_sec=2147483",
        ".|||/etc/upgradedeploy/keys|/var/lib/upgradedeploy|2147483||" },
    { "LookalikesAreUnknownAndWordsWithoutDashAreIgnored", "-verbose --homedir=/x -gui=1 stray",
        ".|||/etc/upgradedeploy/keys|/var/lib/upgradedeploy|0||-verbose,--homedir=/x,-gui=1" },
};

QString flagsOf(const TOptions& o)
{
    QString flags;
    const std::pair<bool, char> all[] = { { o.gui, 'g' }, { o.check, 'c' }, { o.noCommit, 'n' },
        { o.commit, 'C' }, { o.rollback, 'r' }, { o.allowDowngrade, 'd' } };
    for (const auto& [set, letter] : all)
        flags += set ? QString(QLatin1Char(letter)) : QString();
    return flags;
}

class Options : public ::testing::TestWithParam<OptionsCase> { };

TEST_P(Options, HoldWhatTheCommandLineSays)
{
    const OptionsCase& c = GetParam();
    const TOptions o = parseOptions(QStringList { "UpgradeDeploy" }
        + QString::fromUtf8(c.words).split(' ', Qt::SkipEmptyParts));
    const QStringList got { o.homeDir, o.appName, o.outFileName, o.keysDir, o.stateDir,
        QString::number(o.delaySeconds), flagsOf(o), o.unknown.join(',') };
    EXPECT_EQ(s(got.join('|')), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, Options, ::testing::ValuesIn(optionsCases),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
