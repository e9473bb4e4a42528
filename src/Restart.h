// SPDX-License-Identifier: MIT
// The restart at the end of a run: which programs start, and how.
//
// With "-appname=<names>" each named application starts again, through the application's keeper
// "<home>/QuorvelKeeper -restart -entrust=<name>" (which starts and watches it), or with "-gui"
// directly as "<program> -restart", where the launchers BrivaneService and Brivane start the files
// QuorvelService and QuorvelBox of their directory. Without "-appname=" the restart program of
// conf.json starts with "-restart"; without that, nothing. A program whose path leads out of the
// home directory, by its name or through a link, is never started.
#pragma once

#include <QString>

struct TRestart {
    QString homeDir;
    QString appName; // "-appname=": comma-separated, relative to the home directory
    QString restartProgram; // "upgrade.deploy.restart" of conf.json
    bool gui = false; // "-gui"
    bool checkOnly = false; // "-check": tell on "Check: start ..." lines, start nothing
};

// Starts the programs, each detached from the run, and logs each start's outcome.
void restartApplication(const TRestart& restart);
