// SPDX-License-Identifier: MIT
// The dry run ("-check"): what a run would do, told as "Check: " lines, with nothing stopped,
// moved, removed or started.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class TReadyFile;
struct TVerification;

// One line per action for each new file, in list order:
//   "Check: stop <name>(<pid>)"                      a process that would get SIGTERM
//   "Check: replace '<target>' with '<source>', mode <octal>, time <yyyy-MM-dd hh:mm:ss>"
//   "Check: install '<target>' from '<source>', mode <octal>, time <yyyy-MM-dd hh:mm:ss>"
//   "Check: keep '<target>', already in place"      its installed file has the checksum
//   "Check: fail: <the warning the run would write>"
void checkDeploy(const QList<TReadyFile>& files, const TVerification& verification,
    const QString& newFileLoc, const QString& homeDir);

class TRoom;

// For each file system that would receive new files: "Check: space on '<dir>': need N bytes, M
// available", and after it "Check: fail: not enough space on ..." where N is more than M.
void checkRoom(const TRoom& room);

// For each removal entry: its "Check: stop" lines, then "Check: remove '<target>'" or
// "Check: fail: remove file '<homeDir>/<entry>' failed".
void checkRemovals(const QStringList& removeList, const QString& homeDir);

// "Check: remove '<homeDir>/<relPath>'" when something stands at that state file's confined name,
// "Check: fail: remove file '...' failed" where it cannot be removed (a directory on the way leads
// out of the home directory), nothing when it is not there.
void checkRemoveStateFile(const QString& homeDir, const QString& relPath);

// "Check: remove '<path>'" when a file or a link is at |path| (the description); nothing otherwise.
void checkRemoveIfExists(const QString& path);
