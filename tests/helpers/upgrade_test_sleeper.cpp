// SPDX-License-Identifier: MIT
// A program for the process tests to stop: "upgrade_test_sleeper <seconds> [<term delay ms>]"
// sleeps for <seconds> and exits 0. Given a delay, it answers SIGTERM as a program that cleans up
// first: it ends that many milliseconds after the signal, with status 0. Started with SIGTERM
// ignored and no delay, it keeps ignoring it. It unblocks SIGTERM once its handler is in place, so a
// starter that blocks the signal before exec() cannot signal it too early.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

namespace {

timespec termDelay {};

void endAfterDelay(int)
{
    // Both calls are async-signal-safe.
    nanosleep(&termDelay, nullptr);
    _exit(0);
}

void sleepFor(timespec left)
{
    while (nanosleep(&left, &left) != 0 && errno == EINTR) { }
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return 2;
    if (argc > 2) {
        const long delayMs = std::strtol(argv[2], nullptr, 10);
        termDelay.tv_sec = delayMs / 1000;
        termDelay.tv_nsec = (delayMs % 1000) * 1000000L;
        struct sigaction action { };
        action.sa_handler = endAfterDelay;
        if (sigaction(SIGTERM, &action, nullptr) != 0)
            return 2;
    }
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    if (sigprocmask(SIG_UNBLOCK, &term, nullptr) != 0)
        return 2;
    sleepFor({ static_cast<time_t>(std::strtol(argv[1], nullptr, 10)), 0 });
    return 0;
}
