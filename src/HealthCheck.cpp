// SPDX-License-Identifier: MIT
// fork and exec rather than QProcess: the program gets a process group of its own, so that a
// timeout ends it together with everything it started, and the wait needs no event loop.
#include "HealthCheck.h"

#include "FileDescriptor.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(const char* program, const char* workingDir)
{
    ::setpgid(0, 0);
    nullStandardDescriptors();
    char* const argv[] = { const_cast<char*>(program), nullptr };
    if (::chdir(workingDir) == 0)
        ::execv(program, argv);
    ::_exit(127);
}

QString statusText(int status)
{
    if (WIFEXITED(status))
        return QStringLiteral("exit status %1").arg(WEXITSTATUS(status));
    return QStringLiteral("ended by signal %1").arg(WTERMSIG(status));
}

// Waits for |pid| until |timeoutSeconds| have passed; false when it has not ended by then.
bool waitFor(pid_t pid, int timeoutSeconds, int& status)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return true;
        if (ended < 0 && errno != EINTR) {
            status = 0;
            return true;
        }
        if (clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

bool runHealthCheck(
    const QString& program, const QString& workingDir, int timeoutSeconds, QString& why)
{
    const QByteArray path = QFile::encodeName(program);
    const QByteArray dir = QFile::encodeName(workingDir);
    if (::access(path.constData(), X_OK) != 0) {
        why = QLatin1String("start '") + program + QLatin1String("' failed: ") + errnoText(errno);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid == 0)
        execChild(path.constData(), dir.constData());
    if (pid < 0) {
        why = QLatin1String("start '") + program + QLatin1String("' failed: ") + errnoText(errno);
        return false;
    }
    // The group exists once the child has called setpgid; doing it here too closes the window.
    ::setpgid(pid, pid);
    int status = 0;
    if (!waitFor(pid, timeoutSeconds, status)) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        why = QStringLiteral("no answer within %1 s").arg(timeoutSeconds);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    why = statusText(status);
    return false;
}
