// SPDX-License-Identifier: MIT
// The process table's costs: one walk of /proc against the floor in C (proc_floor.c), and the
// downtime of an upgrade whose files are run by processes, from the first stop to the last file in
// place.
//
//   cmake -S . -B build-bench -DUPGRADE_BUILD_BENCH=ON -DBUILD_TESTING=OFF
//   cmake --build build-bench --target bench_proc && build-bench/bench/bench_proc
#include "ProcessTable.h"
#include "UpgradeCommon.h"
#include "proc_floor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <ctime>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Names no process of the machine bears: a long one (the command line confirms it), a short one.
const QString longName = QStringLiteral("bench-no-such-long-program");
const QString shortName = QStringLiteral("bnchnosuch");

// The log goes nowhere while a benchmark runs.
class QuietLog {
public:
    QuietLog()
        : m_old(std::cout.rdbuf(m_sink.rdbuf()))
    {
    }
    ~QuietLog() { std::cout.rdbuf(m_old); }

private:
    std::ostringstream m_sink;
    std::streambuf* m_old;
};

int processCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc")) {
        while (const dirent* entry = readdir(dir))
            count += entry->d_type == DT_DIR && entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
        closedir(dir);
    }
    return count;
}

void ProcWalk(benchmark::State& state, const QString& name)
{
    const QuietLog quiet;
    for (auto _ : state) {
        bool ok = false;
        benchmark::DoNotOptimize(findProcesses(name, QStringLiteral("/proc"), ok));
    }
    state.counters["processes"] = processCount();
}

void ProcWalkFloorInC(benchmark::State& state, const QString& name)
{
    const QByteArray encoded = QFile::encodeName(name);
    for (auto _ : state)
        benchmark::DoNotOptimize(procFloorWalk("/proc", encoded.constData()));
    state.counters["processes"] = processCount();
}

// Both walks in turn, in alternating order, so that a machine whose load drifts weighs on both
// alike: the counters give the thread CPU time per walk of each and their ratio.
double threadCpuMicroseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void ProcWalkAgainstFloor(benchmark::State& state, const QString& name)
{
    const QuietLog quiet;
    const QByteArray encoded = QFile::encodeName(name);
    double ours = 0, floor = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const double start = threadCpuMicroseconds();
            if (oursFirst == (turn == 0)) {
                bool ok = false;
                benchmark::DoNotOptimize(findProcesses(name, QStringLiteral("/proc"), ok));
                ours += threadCpuMicroseconds() - start;
            } else {
                benchmark::DoNotOptimize(procFloorWalk("/proc", encoded.constData()));
                floor += threadCpuMicroseconds() - start;
            }
        }
        oursFirst = !oursFirst;
    }
    const double walks = static_cast<double>(state.iterations());
    state.counters["ours_us"] = ours / walks;
    state.counters["floor_us"] = floor / walks;
    state.counters["ratio"] = ours / floor;
    state.counters["processes"] = processCount();
}

BENCHMARK_CAPTURE(ProcWalkAgainstFloor, ShortName, shortName)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ProcWalkAgainstFloor, LongName, longName)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ProcWalk, ShortName, shortName)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ProcWalkFloorInC, ShortName, shortName)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ProcWalk, LongName, longName)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ProcWalkFloorInC, LongName, longName)->Unit(benchmark::kMicrosecond);

void writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        std::abort();
}

// Starts a copy of sleep and waits until the table shows it under its name.
pid_t startProgram(const QString& exe, bool ignoresTerm)
{
    const QByteArray path = QFile::encodeName(exe);
    const pid_t pid = fork();
    if (pid == 0) {
        if (ignoresTerm)
            std::signal(SIGTERM, SIG_IGN);
        execl(path.constData(), path.constData(), "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    const QByteArray shown = "Name:\t" + QFileInfo(exe).fileName().toUtf8() + '\n';
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    for (int i = 0; i < 1000; ++i, usleep(1000)) {
        if (status.open(QIODevice::ReadOnly) && status.read(shown.size()) == shown)
            break;
        status.close();
    }
    return pid;
}

// An upgrade of range(0) programs under ext/, each running as one process that ends at once on
// SIGTERM, or ignores it when range(1) is 1. Timed: the deployment of the new files, each of which
// stops its program first.
void Downtime(benchmark::State& state)
{
    const int programs = static_cast<int>(state.range(0));
    const bool ignoresTerm = state.range(1) != 0;
    const QuietLog quiet;
    QTemporaryDir dir;
    const QString home = dir.path() + "/home", arrivals = dir.path() + "/new";
    const QString base = QStringLiteral("bdt%1").arg(std::random_device()(), 8, 16, QChar('0'));
    std::vector<QString> names;
    for (int i = 0; i < programs; ++i)
        names.push_back(base + QStringLiteral("%1").arg(i, 2, 10, QChar('0')));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<pid_t> pids;
        for (const QString& name : names) {
            writeFile(home + "/ext/" + name, "old");
            writeFile(arrivals + "/ext/" + name, "new");
            QFile::remove(dir.path() + '/' + name);
            QFile::copy(QStringLiteral("/bin/sleep"), dir.path() + '/' + name);
            pids.push_back(startProgram(dir.path() + '/' + name, ignoresTerm));
        }
        state.ResumeTiming();
        for (const QString& name : names)
            if (!TReadyFile("ext/" + name).deploy(arrivals, home).isEmpty())
                state.SkipWithError("a deployment failed");
        state.PauseTiming();
        for (const pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        state.ResumeTiming();
    }
}

BENCHMARK(Downtime)
    ->ArgNames({ "programs", "ignoring" })
    ->Args({ 30, 0 })
    ->Args({ 1, 1 })
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
