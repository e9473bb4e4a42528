// SPDX-License-Identifier: MIT
// The health check: a program of the application that tells, by its exit status, whether the
// version just started works. The run starts it and waits for it, never longer than its timeout.
#pragma once

#include <QString>

// Runs |program| (an absolute path the caller has confined to the home directory) with no
// arguments, in |workingDir|, with its standard descriptors on /dev/null, in a process group of its
// own. Waits at most |timeoutSeconds|; then the whole group is killed (SIGKILL) and reaped. True
// when the program exited with 0 in time; otherwise |why| says what happened: "exit status N",
// "ended by signal N", "no answer within N s" or "start '<program>' failed: <reason>".
bool runHealthCheck(
    const QString& program, const QString& workingDir, int timeoutSeconds, QString& why);
