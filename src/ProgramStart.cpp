// SPDX-License-Identifier: MIT
#include "ProgramStart.h"

#include "FileDescriptor.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// What the started program is given, prepared before the fork: between fork and exec only
// async-signal-safe calls are made, so nothing there allocates.
struct TStartSetup {
    const char* path;
    char* const* argv;
    const char* workingDir;
    int errorPipe; // close-on-exec: the exec closes it, a failure writes its errno into it
};

// Every descriptor above the standard ones is closed by the exec: the caller's pipes and files
// that the run inherited must not stay open in the application for as long as it runs.
void closeOthersOnExec()
{
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (limit > 0 && limit < 65536 ? limit : 65536); ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The started program's side: a session of its own, standard descriptors on /dev/null, SIGPIPE
// at its default and no signal blocked, the working directory, then the program. Returns the
// errno of the step that failed.
int execute(const TStartSetup& setup)
{
    if (::setsid() < 0)
        return errno;
    if (const int error = nullStandardDescriptors())
        return error;
    closeOthersOnExec();
    sigset_t none;
    sigemptyset(&none);
    if (::signal(SIGPIPE, SIG_DFL) == SIG_ERR || ::sigprocmask(SIG_SETMASK, &none, nullptr) != 0
        || ::chdir(setup.workingDir) != 0)
        return errno;
    ::execve(setup.path, setup.argv, environ);
    return errno;
}

// The first child starts the second, which becomes the program, and ends at once: the program is
// never a child of the run, so nothing is left for the run to wait for.
[[noreturn]] void startOrphaned(const TStartSetup& setup)
{
    int error = 0;
    const pid_t pid = ::fork();
    if (pid == 0)
        error = execute(setup);
    else if (pid < 0)
        error = errno;
    if (error != 0 && ::write(setup.errorPipe, &error, sizeof error) < 0)
        _exit(126);
    _exit(error == 0 ? 0 : 127);
}

// The errno a child wrote, or 0 when the pipe closed without one: the exec succeeded.
int readChildError(int fd)
{
    int error = 0;
    ssize_t got = 0;
    do
        got = ::read(fd, &error, sizeof error);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return errno;
    return got == sizeof error ? error : 0;
}

} // namespace

bool startDetached(
    const QString& program, const QStringList& arguments, const QString& workingDir, int& error)
{
    const QByteArray path = QFile::encodeName(QFileInfo(program).absoluteFilePath());
    const QByteArray dir = QFile::encodeName(workingDir);
    std::vector<QByteArray> words { path };
    for (const QString& argument : arguments)
        words.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    TFileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    const pid_t child = ::fork();
    if (child == 0)
        startOrphaned({ path.constData(), argv.data(), dir.constData(), writeEnd.get() });
    error = child < 0 ? errno : 0;
    writeEnd.reset();
    if (child > 0) {
        error = readChildError(readEnd.get());
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) { }
    }
    return error == 0;
}
