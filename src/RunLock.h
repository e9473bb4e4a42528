// SPDX-License-Identifier: MIT
// One run at a time per home directory.
//
// Two runs of one upgrade at once (a start-up script and a manual run, say) would each take the
// other's half-done work for a cut-off run: one rolls back what the other put in place and the
// description goes, so nothing mends the mix. Every run that may read or change the installed
// application therefore holds an exclusive lock on the home directory itself for its whole life.
// The lock is the kernel's (flock on the directory's own descriptor), so it is never a file that
// could be a link leading out of home, it creates nothing, and it goes with the process however
// that ends: a killed run never blocks the next one.
#pragma once

#include "FileDescriptor.h"

#include <QString>

class TRunLock {
public:
    // Takes the lock of |homeDir| without waiting. On false nothing is held and |error| holds the
    // reason: "another upgrade of '<homeDir>' is running" when another process holds it, or
    // "lock '<homeDir>' failed: <reason>" when the directory cannot be opened or locked.
    bool acquire(const QString& homeDir, QString& error);

    // Lets the lock go (closing the descriptor does); the run's last step.
    void release() { m_fd.reset(); }

private:
    TFileDescriptor m_fd;
};
