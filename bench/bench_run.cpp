// SPDX-License-Identifier: MIT
// A whole run of the built UpgradeDeploy against the floor (floor_run.c), the least a C program
// does to put the same files in place safely. Both run as child processes on trees generated
// alike: a home directory, a new-arrival directory and, for the program, a conf.json and a
// description with a modification time per file. "fresh" installs into an empty home, "replacing"
// over installed files of the same paths.
//
//   cmake -S . -B build-bench -DUPGRADE_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target UpgradeDeploy floor_run bench_run
//   build-bench/bench/bench_run --sizes=1000,10000,100000
//
// Counters per benchmark (the mean of its iterations): wall time per file of the program and of
// the floor and their ratio, the same for CPU time (user + system), and the peak resident memory of
// each child against the budget of 20 MB plus 1 KB per file. The peak is the child's VmHWM at exit:
// wait4's ru_maxrss is kept too, but it holds the pages the child copied from this process when it
// was forked, which swamps the floor's own.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string programPath = UPGRADE_DEPLOY_PATH;
std::string floorPath = FLOOR_RUN_PATH;

// 2024-01-02 03:04:05, given to every file; the floor takes it in seconds.
const char fileTime[] = "2024-01-02 03:04:05";
const char fileSeconds[] = "1704164645";

// A relative path per file: 100 files per directory, two levels under data/, so that directories
// change as often as in a real package.
std::vector<QByteArray> filePaths(int count)
{
    std::vector<QByteArray> paths;
    paths.reserve(count);
    char name[64];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "data/d%02d/e%03d/f%06d.dat", i / 10000, i / 100 % 100, i);
        paths.emplace_back(name);
    }
    return paths;
}

bool writeFile(const QByteArray& path, const QByteArray& content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), content.size()) == content.size();
    return ::close(fd) == 0 && ok;
}

// Writes every file under |root|, making each directory once.
bool writeTree(const QByteArray& root, const std::vector<QByteArray>& paths, const QByteArray& body)
{
    QByteArray lastDir;
    for (const QByteArray& path : paths) {
        const QByteArray dir = path.left(path.lastIndexOf('/'));
        if (dir != lastDir && !QDir().mkpath(QFile::decodeName(root + '/' + dir)))
            return false;
        lastDir = dir;
        if (!writeFile(root + '/' + path, body))
            return false;
    }
    return true;
}

// A home and a new-arrival directory under |root|; with |installed|, the home holds the files.
bool makeTrees(const QByteArray& root, const std::vector<QByteArray>& paths, bool installed)
{
    const QByteArray body(100, 'n');
    return QDir().mkpath(QFile::decodeName(root + "/home")) && writeTree(root + "/new", paths, body)
        && (!installed || writeTree(root + "/home", paths, QByteArray(80, 'o')));
}

bool writeDocuments(const QByteArray& root, const std::vector<QByteArray>& paths)
{
    QByteArray desc = "{\"files-ex\":[\n";
    for (size_t i = 0; i < paths.size(); ++i) {
        desc += "{\"path\":\"" + paths[i] + "\",\"modified-time\":\"" + fileTime + "\"}";
        desc += i + 1 < paths.size() ? ",\n" : "\n";
    }
    desc += "]}\n";
    const QByteArray conf = "{\"upgrade\":{\"new-arrival\":{\"file-location\":\"" + root
        + "/new\",\"file-desc\":\"" + root + "/desc.json\"}}}\n";
    return writeFile(root + "/desc.json", desc) && writeFile(root + "/home/conf.json", conf);
}

bool writeList(const QByteArray& root, const std::vector<QByteArray>& paths)
{
    QByteArray list;
    for (const QByteArray& path : paths)
        list += path + '\n';
    return writeFile(root + "/list", list);
}

struct TChild {
    double wall = 0; // seconds
    double cpu = 0; // seconds, user + system
    long peakKb = 0; // VmHWM at exit
    long maxRssKb = 0; // wait4's ru_maxrss
    int status = -1;
};

double seconds(const timespec& t) { return t.tv_sec + t.tv_nsec / 1e9; }
double seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

long highWaterKb(pid_t pid)
{
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%d/status", int(pid));
    FILE* file = std::fopen(name, "r");
    long kb = 0;
    char line[256];
    while (file && std::fgets(line, sizeof line, file)) {
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1)
            break;
    }
    if (file)
        std::fclose(file);
    return kb;
}

// Runs |argv| with its output to /dev/null, traced only to stop it at its exit, where its peak
// memory is still there to read.
TChild runChild(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    TChild child;
    timespec start {}, end {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    while (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        if (!WIFSTOPPED(status)) {
            child.status = status;
            break;
        }
        int signal = WSTOPSIG(status);
        if (signal == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT)
            child.peakKb = highWaterKb(pid);
        if (signal == SIGTRAP) {
            // The stop after exec, or at the exit: nothing to deliver.
            ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
            signal = 0;
        }
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(long(signal)));
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    child.wall = seconds(end) - seconds(start);
    child.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    child.maxRssKb = usage.ru_maxrss;
    return child;
}

// Generates a tree, flushes it so that the run's own flushes find only its own work, and runs
// |program| on it.
TChild runOn(const QByteArray& root, const std::vector<QByteArray>& paths, bool installed,
    bool floor, benchmark::State& state)
{
    if (!makeTrees(root, paths, installed)
        || !(floor ? writeList(root, paths) : writeDocuments(root, paths))) {
        state.SkipWithError("cannot generate the trees");
        return {};
    }
    ::sync();
    const TChild child = floor
        ? runChild({ floorPath, root.toStdString() + "/home", root.toStdString() + "/new",
            root.toStdString() + "/list", fileSeconds })
        : runChild({ programPath, "-homedir=" + root.toStdString() + "/home",
            "-out=" + root.toStdString() + "/log" });
    if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0)
        state.SkipWithError(floor ? "the floor failed" : "the run failed: see its log");
    return child;
}

void WholeRun(benchmark::State& state, bool installed)
{
    const int count = int(state.range(0));
    const std::vector<QByteArray> paths = filePaths(count);
    TChild sum, floorSum;
    for (auto _ : state) {
        QTemporaryDir floorDir, runDir;
        const TChild floor
            = runOn(QFile::encodeName(floorDir.path()), paths, installed, true, state);
        const TChild run = runOn(QFile::encodeName(runDir.path()), paths, installed, false, state);
        state.SetIterationTime(run.wall);
        if (state.error_occurred()) {
            runDir.setAutoRemove(false);
            std::cerr << "kept " << runDir.path().toStdString() << '\n';
            break;
        }
        sum.wall += run.wall, sum.cpu += run.cpu;
        floorSum.wall += floor.wall, floorSum.cpu += floor.cpu;
        sum.peakKb = std::max(sum.peakKb, run.peakKb);
        sum.maxRssKb = std::max(sum.maxRssKb, run.maxRssKb);
        floorSum.peakKb = std::max(floorSum.peakKb, floor.peakKb);
    }
    const double files = double(count) * double(state.iterations());
    state.counters["us_per_file"] = sum.wall / files * 1e6;
    state.counters["floor_us_per_file"] = floorSum.wall / files * 1e6;
    state.counters["ratio"] = sum.wall / floorSum.wall;
    state.counters["cpu_us_per_file"] = sum.cpu / files * 1e6;
    state.counters["floor_cpu_us_per_file"] = floorSum.cpu / files * 1e6;
    state.counters["cpu_ratio"] = sum.cpu / floorSum.cpu;
    state.counters["peak_MB"] = sum.peakKb / 1024.0;
    state.counters["floor_peak_MB"] = floorSum.peakKb / 1024.0;
    state.counters["maxrss_MB"] = sum.maxRssKb / 1024.0;
    state.counters["budget_MB"] = 20 + count / 1024.0;
}

// "--sizes=1000,10000", "--program=PATH" and "--floor=PATH" are this program's; the rest is
// Google Benchmark's.
std::vector<int> takeOptions(int& argc, char** argv)
{
    std::vector<int> sizes { 1000, 10000 };
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0) {
            sizes.clear();
            for (const QByteArray& size : QByteArray(arg.c_str() + 8).split(','))
                sizes.push_back(size.toInt());
        } else if (arg.rfind("--program=", 0) == 0) {
            programPath = arg.substr(10);
        } else if (arg.rfind("--floor=", 0) == 0) {
            floorPath = arg.substr(8);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return sizes;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<int> sizes = takeOptions(argc, argv);
    for (const char* mode : { "fresh", "replacing" }) {
        const bool installed = std::strcmp(mode, "replacing") == 0;
        for (const int size : sizes) {
            benchmark::RegisterBenchmark(
                (std::string("WholeRun/") + mode).c_str(), WholeRun, installed)
                ->Arg(size)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(size >= 100000 ? 1
                        : size >= 10000     ? 3
                                            : 10);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
