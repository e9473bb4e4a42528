// SPDX-License-Identifier: MIT
// UpgradeDeploy: puts the files of a new application version in place and restarts it.
#include "FileDescriptor.h"
#include "Options.h"
#include "UpgradeDeploy.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char helpText[] = R"(Usage: UpgradeDeploy [option]...
Puts the files of a new version of an application in place under its home directory,
removes the files the upgrade lists, and restarts the application.

Options:
  -homedir=<dir>     the application's home directory (default ".")
  -appname=<names>   comma-separated programs, relative to the home directory, to restart
                     after the upgrade; without it the restart program of conf.json is started;
                     a program that leads outside the home directory is never started
  -gui               restart the programs directly instead of through <home>/QuorvelKeeper
  -out=<file>        append the log to <file> instead of the standard output
  -delay_sec=<n>     wait <n> seconds before the upgrade starts (default 0); a value that is
                     not a number, negative or too large is ignored: the last valid one counts
  -check             dry run: read both documents, verify the checksums and tell on "Check:"
                     lines what the run would do; nothing is stopped, moved, removed or
                     started, and the file description is kept; with -commit or -rollback,
                     tells what that would do
  -keys=<dir>        the trusted public keys, minisign's "*.pub" files, and the "revoked" key
                     ids, one a line (default /etc/upgradedeploy/keys); when it holds a key,
                     the file description must be signed by one that is not revoked
  -state=<dir>       where the sequence of the installed package is kept, one file per home
                     directory (default /var/lib/upgradedeploy)
  -allow-downgrade   install a package whose "sequence" is older than the installed one, or
                     another package at the installed sequence, with a warning
  -no-commit         keep the previous version in <home>/.upgrade-rollback/ after the upgrade
                     lands (and passes its health check), for a later -commit or -rollback
  -commit            drop the previous version that a -no-commit run kept; exit 0 also when
                     there is nothing to commit
  -rollback          put the previous version back: stop the programs it puts back, restore
                     every replaced and removed file, delete the fresh ones, restart the
                     application and drop the store; exit 0 also when there is nothing to roll
                     back
  -h, --help         print this help and exit
  --version          print the version and exit
Any other argument that begins with "-" is ignored, with a warning in the log.

What a run does to the device, as root:
  - One run at a time works on a home directory: a run started while another holds it changes
    nothing, starts nothing and exits 1. Before it changes anything, a run checks that each
    file system receiving new files has room for them.
  - Before it replaces or removes a file that runs as a process (directly in the home directory
    without a suffix, or anywhere under ext/ or upgrade/), it sends SIGTERM to every process
    whose name matches the file's name, whoever started it, and then waits until they have
    ended, 1 second at the most.
  - It keeps each installed file as "<file>.tmp" until the new one is in, gives executables
    mode 0775 and applies the described modification time. It acts only where the real
    directory (links resolved) lies inside the home directory, and refuses new files that are
    not regular files.
  - It deletes the files the description lists for removal.
  - On every run that puts the files in place it deletes the application's notification
    state, <home>/conf/share_notify.json and <home>/data/share_notify.db, and the file
    description.
  - It restarts the application, also after a failed run. The programs it starts run
    detached: in a session of their own, with standard input, output and error on /dev/null.
  - A standard output whose reader went away (SIGPIPE is ignored) never stops the upgrade.
  - With a health program, or with -no-commit, it keeps the files it replaces or removes (hard
    links, or copies across file systems) and the list of the files it installs fresh in
    <home>/.upgrade-rollback/ until the upgrade is committed or rolled back; an upgrade on top
    of one that is not committed yet is refused.

Documents read:
  <home>/conf.json   names the new-arrival directory ("upgrade"/"new-arrival"/"file-location"),
                     the file-description document ("file-desc") and, optionally, the program
                     to restart ("upgrade"/"deploy"/"restart") and a health program
                     ("upgrade"/"deploy"/"health", a program under the home directory, with
                     "health-timeout" in seconds, 60 when not given): after the restart the
                     run waits for it; exit 0 in time commits the upgrade, anything else
                     rolls it back and restarts the previous version
  file description   lists the new files ("files", "files-ex" with "path", "modified-time"
                     and "sha256"), the files to remove ("files-remove") or an error
                     ("error-msg"); when a "sha256" is given, every checksum is verified
                     before anything is touched; with "all-or-nothing": true, a file that
                     cannot be put in place puts every file of the run back, and the run
                     fails; "sequence" is a whole number that grows from one package to the
                     next, stored once the run has landed: an older one is refused, the same
                     one only for the same description (a resumed run)
  <description>.minisig  the description's signature in minisign's format, made by
                     "minisign -S" or "UpgradeDescribe -sign=", verified before the description
                     is parsed; when a key is trusted, every description must carry one, and
                     a "sequence"

Log lines begin with their kind:
  State:    a phase of the run (Start, Config-Load, File-Desc, File-Verify, File-Upgrade,
            Health-Check, Rollback, Commit, End)
  Info:     a completed action
  Warning:  a failure the run survives (a single file, a process, a restart)
  Error:    why the run failed
  Check:    what a dry run would do
  Debug:    the keeper's path

Exit status: 0 when the run ended without an "Error:" line (warnings about single files
included, and when the file description does not exist); 1 when it ended with one (a document
missing, unreadable or wrong, a signature that does not verify, an older sequence, a checksum
that failed, the description's "error-msg", an upgrade not committed yet, a failed health check,
a rollback or commit that could not finish), and when this text cannot be written. -commit and
-rollback may be repeated after a power cut: each finishes what the cut one left.
)";

// A text that was asked for and not delivered (a closed or full standard output) is a failure.
int printText(const char* text)
{
    if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0)
        return 0;
    const int error = errno;
    std::fprintf(
        stderr, "UpgradeDeploy: write to the standard output failed: %s\n", std::strerror(error));
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    // A caller's pipe whose reader went away ("UpgradeDeploy | head") must not end an upgrade
    // half way: writes to it fail with EPIPE, and the run goes on. Started programs get SIGPIPE
    // back at its default.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        std::fprintf(stderr, "UpgradeDeploy: ignore SIGPIPE failed: %s\n", std::strerror(errno));
    // Before anything is opened, so that a closed standard output is seen as such.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return printText(helpText);
        if (std::strcmp(argv[i], "--version") == 0)
            return printText("UpgradeDeploy " UPGRADE_VERSION "\n");
    }
    // A descriptor 0, 1 or 2 left closed would otherwise give its number to the first file the
    // run opens, and log lines meant for the standard output would be written into that file.
    guardStandardDescriptors();
    QCoreApplication app(argc, argv);

    const int delaySeconds = parseOptions(QCoreApplication::arguments()).delaySeconds;

    TUpgradeDeploy deploy(nullptr);
    QTimer::singleShot(delaySeconds * 1000, &deploy, SLOT(start()));
    return QCoreApplication::exec();
}
