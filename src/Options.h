// SPDX-License-Identifier: MIT
// UpgradeDeploy's command line as a plain struct: every option the program knows, in one place.
#pragma once

#include <QString>
#include <QStringList>

struct TOptions {
    QString homeDir = QStringLiteral("."); // "-homedir=<dir>"
    QString appName; // "-appname=<names>"
    bool gui = false; // "-gui": restart the programs directly, not through the keeper
    QString outFileName; // "-out=<file>": the log's file
    int delaySeconds = 0; // "-delay_sec=<n>"
    bool check = false; // "-check": the dry run
    bool noCommit = false; // "-no-commit": keep the previous version for -commit or -rollback
    bool commit = false; // "-commit": drop the previous version the store keeps
    bool rollback = false; // "-rollback": put the previous version back
    QString keysDir = QStringLiteral("/etc/upgradedeploy/keys"); // "-keys=<dir>"
    QString stateDir = QStringLiteral("/var/lib/upgradedeploy"); // "-state=<dir>"
    bool allowDowngrade = false; // "-allow-downgrade"
    // Arguments after the program's path that begin with "-" and are no option: the log warns
    // about each ("Warning: unknown option '<arg>' ignored").
    QStringList unknown;
};

// Reads |arguments| (the program's path first). A later option overrides an earlier one; a delay
// is taken when it is a non-negative decimal whose milliseconds fit the timer's int, so an invalid
// one leaves the last valid one.
TOptions parseOptions(const QStringList& arguments);
