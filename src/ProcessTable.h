// SPDX-License-Identifier: MIT
// The process table: finding the processes that run a file and stopping them.
#pragma once

#include <QList>
#include <QString>

#include <sys/types.h>

// A process of the table that runs a given file.
struct TProcess {
    pid_t pid = 0;
    QString name; // the file name it was matched by
};

// The processes, other than this one, whose name equals |fileName|, walking the process table
// under |procRoot| ("/proc" in the program, a fixture tree in tests). Entries that cannot be read
// are logged and skipped. |ok| is false when the table itself cannot be read (logged too).
QList<TProcess> findProcesses(const QString& fileName, const QString& procRoot, bool& ok);

// Sends SIGTERM to every process findProcesses() finds, logging a line per process signalled or
// failed. Returns the number of processes signalled, or -1 when the process table cannot be read.
int terminateProcesses(const QString& fileName, const QString& procRoot);
