// SPDX-License-Identifier: MIT
// Starting the programs a run restarts, detached from the run and from whoever started it.
#pragma once

#include <QString>
#include <QStringList>

// Starts |program| with |arguments| in |workingDir| and does not wait for it. The program runs in
// a session of its own, with its standard input, output and error on /dev/null and SIGPIPE at
// its default disposition (the run ignores it), so it holds no pipe of the caller, gets no signal
// meant for the caller's terminal or process group, and writes nothing into the run's log. It is
// passed as an absolute path: a relative one would be looked up again after the change into the
// working directory. On false, |error| holds the errno of the failed start (a missing program
// included).
bool startDetached(
    const QString& program, const QStringList& arguments, const QString& workingDir, int& error);
