// SPDX-License-Identifier: MIT
// UpgradeDeploy: puts the files of a new application version in place and restarts it.
#include "UpgradeDeploy.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <climits>
#include <cstdio>

namespace {

const QLatin1String delayOption("-delay_sec=");

const char helpText[] = R"(Usage: UpgradeDeploy [option]...
Puts the files of a new version of an application in place under its home directory,
removes the files the upgrade lists, and restarts the application.

Options:
  -homedir=<dir>     the application's home directory (default ".")
  -appname=<names>   comma-separated programs, relative to the home directory, to restart
                     after the upgrade; without it the restart program of conf.json is started
  -gui               restart the programs directly instead of through <home>/QuorvelKeeper
  -out=<file>        append the log to <file> instead of the standard output
  -delay_sec=<n>     wait <n> seconds before the upgrade starts (default 0)
  -h, --help         print this help and exit
  --version          print the version and exit

Documents read:
  <home>/conf.json   names the new-arrival directory ("upgrade"/"new-arrival"/"file-location"),
                     the file-description document ("file-desc") and, optionally, the program
                     to restart ("upgrade"/"deploy"/"restart")
  file description   lists the new files ("files", "files-ex" with "path" and "modified-time"),
                     the files to remove ("files-remove") or an error ("error-msg"); it is
                     removed after the upgrade

Log lines begin with their kind:
  State:    a phase of the run (Start, Config-Load, File-Desc, File-Upgrade, End)
  Info:     a completed action
  Warning:  a failure the run survives (a single file, a process, a restart)
  Error:    why the run failed
  Debug:    the keeper's path

Exit status: 0 when the run ended without an error, 1 when it ended with an "Error:" line.
)";

// A delay is taken when it is a non-negative decimal whose milliseconds fit the timer's int.
void readDelay(const QString& argument, int& delaySeconds)
{
    bool ok = false;
    const int value = argument.mid(delayOption.size()).toInt(&ok, 10);
    if (ok && value >= 0 && value <= INT_MAX / 1000)
        delaySeconds = value;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);

    int delaySeconds = 0;
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (i > 0 && (argument == QLatin1String("--help") || argument == QLatin1String("-h"))) {
            std::fputs(helpText, stdout);
            return 0;
        }
        if (i > 0 && argument == QLatin1String("--version")) {
            std::fputs("UpgradeDeploy " UPGRADE_VERSION "\n", stdout);
            return 0;
        }
        if (argument.startsWith(delayOption))
            readDelay(argument, delaySeconds);
    }

    TUpgradeDeploy deploy(nullptr);
    QTimer::singleShot(delaySeconds * 1000, &deploy, SLOT(start()));
    return QCoreApplication::exec();
}
