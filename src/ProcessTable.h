// The process table: finding the processes that run a file and stopping them.
#pragma once

#include <QString>

// Sends SIGTERM to every process, other than this one, whose name equals |fileName|, walking the
// process table under |procRoot| ("/proc" in the program, a fixture tree in tests). Logs a line
// per process signalled or failed. Returns the number of processes signalled, or -1 when the
// process table cannot be read.
int terminateProcesses(const QString& fileName, const QString& procRoot);
