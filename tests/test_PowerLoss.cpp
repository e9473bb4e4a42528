// SPDX-License-Identifier: MIT
// Failing file systems and power loss, proven on the built program. A reference upgrade of about
// twenty files runs with faultfs (helpers/faultfs.c) preloaded, which fails each file-system call
// of the run in turn, or kills the run with SIGKILL just before or just after it. After every run
// each installed path must hold its old or its new content, every file that is not in its target
// state must be named by a "Warning:" or "Error:" line, and a rerun must reach the target state.
//
// The rows come from the trace of a clean run: every call, with each errno it can really return
// (EIO always; EACCES on a path; ENOSPC where it may allocate; EXDEV for renames and links). The
// blocks of one file's reads or writes are represented by the first and the last. With the new
// files on another file system, the calls that the same-file-system run makes alike are left to its
// rows. No process runs in the fault rows: stopping one costs the run a pause of one second by
// design; the clean rows prove the stop. Under an emulator every run is about ten times slower, and
// under the sanitizers about three times, so there only every n-th row runs (a fixed stride, the
// same rows every time), which keeps those legs within their time budget. The sanitizer runtime
// must come first among the libraries, which the preloaded library prevents: its check of that
// order is turned off for the runs.
// The fault and kill loops prove the order of the calls a run makes, which does not depend on Qt's
// version: they run in the Qt 5 leg and skip, saying so, in the Qt 6 build.
#include "support.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace {

using namespace testsupport;

const bool emulated = !QString(UPGRADE_EMULATOR).trimmed().isEmpty();
const int runLimitMs = emulated ? 120000 : 30000;
#ifdef UPGRADE_SANITIZED
const bool sanitized = true;
#else
const bool sanitized = false;
#endif
const int stride = emulated ? 17 : sanitized ? 5 : 1;

QDateTime at(const char* text) { return QDateTime::fromString(text, timeFormat); }
const QDateTime installedTime = at("2001-02-03 04:05:06");
const QDateTime arrivalTime = at("2020-01-02 03:04:05");
const QDateTime describedTime = at("2013-05-17 14:02:00");

enum class Role { Replace, Install, Remove, Keep };

struct Item {
    QString path;
    Role role;
    mode_t oldMode, arrivalMode, wantMode;
    bool described; // carries a modified-time
    QByteArray oldData, newData;
};

QByteArray pattern(int size, int seed)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + seed) % 251);
    return data;
}

// The reference upgrade. %S is the program that runs while it is replaced.
std::vector<Item> reference(const QString& program)
{
    const struct {
        const char* path;
        Role role;
        mode_t oldMode, arrivalMode, wantMode;
        bool described;
    } rows[] = { { "%S", Role::Replace, 0755, 0755, 0775, true },
        { "libcore.so", Role::Replace, 0644, 0644, 0775, false },
        { "start.sh", Role::Install, 0, 0644, 0775, false },
        { "ext/plugin/tool", Role::Replace, 0755, 0700, 0775, false },
        { "ext/readme.txt", Role::Install, 0, 0644, 0775, false },
        { "upgrade/hook.sh", Role::Replace, 0644, 0644, 0775, false },
        { "conf/app.conf", Role::Replace, 0600, 0644, 0644, true },
        { "conf/empty.ini", Role::Replace, 0644, 0644, 0644, false },
        { "conf/stale.conf", Role::Replace, 0644, 0644, 0644, false },
        { "bin/app", Role::Replace, 0755, 0755, 0755, false },
        { "lib/libfoo.so.1", Role::Replace, 0644, 0644, 0644, false },
        { "data/big.dat", Role::Replace, 0644, 0644, 0644, true },
        { "share/deep/data/level3.bin", Role::Replace, 0644, 0640, 0640, false },
        { "share/Grüße/naïve-文件.txt", Role::Install, 0, 0644, 0644, false },
        { "plugins/a/b/c.so", Role::Install, 0, 0644, 0644, false },
        { "docs/readme.md", Role::Replace, 0644, 0600, 0600, false },
        { "keep/stay.txt", Role::Keep, 0644, 0, 0644, false },
        { "lib/libold.so", Role::Remove, 0755, 0, 0, false },
        { "old/obsolete.txt", Role::Remove, 0644, 0, 0, false },
        { "conf/share_notify.json", Role::Remove, 0644, 0, 0, false } };
    static const QByteArray sleep = readAll("/bin/sleep");
    std::vector<Item> items;
    for (const auto& r : rows) {
        Item item { QString::fromUtf8(r.path).replace("%S", program), r.role, r.oldMode,
            r.arrivalMode, r.wantMode, r.described, {}, {} };
        item.oldData = "old " + item.path.toUtf8() + '\n';
        item.newData = "new " + item.path.toUtf8() + '\n';
        if (item.path == program) {
            item.oldData = sleep;
            item.newData = sleep + "new\n";
        } else if (item.path.endsWith("empty.ini")) {
            item.newData.clear();
        } else if (item.path.endsWith("big.dat")) {
            static const QByteArray oldBig = pattern(1024 * 1024 - 77, 1);
            static const QByteArray newBig = pattern(1024 * 1024 + 123, 2);
            item.oldData = oldBig;
            item.newData = newBig;
        }
        items.push_back(item);
    }
    return items;
}

bool isNew(const Item& item) { return item.role == Role::Replace || item.role == Role::Install; }

void setTime(const QString& path, const QDateTime& time)
{
    const time_t seconds = static_cast<time_t>(time.toSecsSinceEpoch());
    const utimbuf times { seconds, seconds };
    ASSERT_EQ(::utime(QFile::encodeName(path).constData(), &times), 0) << s(path);
}

QString canonical(const QString& path) { return QFileInfo(path).canonicalFilePath(); }

// Every entry under |dir| with its mode, time and contents, for trees that must not change.
std::map<QString, QString> snapshot(const QString& dir)
{
    std::map<QString, QString> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st { };
        ::lstat(QFile::encodeName(path).constData(), &st);
        entries[QDir(dir).relativeFilePath(path)]
            = QString("%1 %2 %3").arg(st.st_mode, 0, 8).arg(st.st_mtime).arg(qHash(readAll(path)));
    }
    return entries;
}

struct Outcome {
    int code = -1; // -1: killed, crashed or over its time limit
    bool killed = false;
    QString log;
};

// Injections for one run; an empty action runs the program with the library counting only.
struct Injection {
    QString action; // "once", "persist", "kill-before", "kill-after"
    long at = 0;
    int error = 0;
    QString trace;
};

// The program that runs while it is replaced: one name for the whole test, so traces compare.
QString programName()
{
    static const QString name = uniqueName("plp");
    return name;
}

// One row's world: the installed tree, the package and a canary tree outside the home directory.
// The new-arrival directory lies inside the home directory, or on |arrivalParent| when given.
class World {
public:
    World(const QString& homeParent, const QString& arrivalParent)
        : rootDir(homeParent + "/pl-XXXXXX")
        , arrivalDir((arrivalParent.isEmpty() ? homeParent : arrivalParent) + "/pa-XXXXXX")
        , separate(!arrivalParent.isEmpty())
        , root(canonical(rootDir.path()))
        , home(root + "/home")
        , arrival(separate ? canonical(arrivalDir.path()) + "/new" : home + "/upgrade/new")
        , description(home + "/upgrade/desc.json")
        , program(programName())
        , items(reference(program))
    {
    }

    void prepare()
    {
        for (const Item& item : items) {
            if (item.role != Role::Install)
                put(home + '/' + item.path, item.oldData, item.oldMode, installedTime);
        }
        put(home + "/conf/stale.conf.tmp", "stale backup\n", 0644, installedTime);
        put(home + "/conf.json",
            "{ \"upgrade\": { \"new-arrival\": { \"file-location\": \"" + arrival.toUtf8()
                + "\", \"file-desc\": \"upgrade/desc.json\" } } }\n",
            0644, installedTime);
        put(root + "/canary/a.txt", "canary\n", 0644, installedTime);
        put(root + "/canary/bin/tool", "#!/bin/sh\n", 0755, installedTime);
        canary = snapshot(root + "/canary");
        sendPackage();
    }

    // Writes the new files and the description again, as the server does when it resends.
    void sendPackage()
    {
        QByteArray plain, extended;
        for (const Item& item : items) {
            if (!isNew(item))
                continue;
            put(arrival + '/' + item.path, item.newData, item.arrivalMode, arrivalTime);
            QByteArray& list = item.described ? extended : plain;
            list += (list.isEmpty() ? "" : ", ")
                + (item.described
                        ? "{ \"path\": \"" + item.path.toUtf8() + "\", \"modified-time\": \""
                            + describedTime.toString(timeFormat).toUtf8() + "\" }"
                        : '"' + item.path.toUtf8() + '"');
        }
        put(description,
            "{ \"files\": [" + plain + "], \"files-ex\": [" + extended
                + "], \"files-remove\": [\"lib/libold.so\", \"old/obsolete.txt\"] }\n",
            0644, installedTime);
    }

    Outcome deploy(const Injection& injection, const QStringList& options = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(emulated ? "QEMU_SET_ENV" : "LD_PRELOAD",
            emulated ? "LD_PRELOAD=" UPGRADE_FAULTFS_LIB : UPGRADE_FAULTFS_LIB);
        if (sanitized)
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        env.insert("FAULTFS_DIRS", separate ? root + ':' + canonical(arrivalDir.path()) : root);
        if (!injection.trace.isEmpty())
            env.insert("FAULTFS_TRACE", injection.trace);
        if (!injection.action.isEmpty()) {
            env.insert("FAULTFS_ACTION", injection.action);
            env.insert("FAULTFS_AT", QString::number(injection.at));
            env.insert("FAULTFS_ERRNO", QString::number(injection.error));
        }
        QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
        command << UPGRADE_DEPLOY_BIN << "-homedir=" + home << options;
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(root);
        process.start(command.takeFirst(), command);
        Outcome outcome;
        if (!process.waitForFinished(runLimitMs)) {
            process.kill();
            process.waitForFinished(-1);
            outcome.log = "over the time limit\n";
            return outcome;
        }
        outcome.killed = process.exitStatus() == QProcess::CrashExit;
        if (!outcome.killed)
            outcome.code = process.exitCode();
        outcome.log
            = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        return outcome;
    }

    static void put(const QString& path, const QByteArray& data, mode_t mode, const QDateTime& time)
    {
        writeFile(path, data, mode);
        setTime(path, time);
    }

    QTemporaryDir rootDir, arrivalDir;
    const bool separate;
    const QString root, home, arrival, description, program;
    const std::vector<Item> items;
    std::map<QString, QString> canary;
};

// ---- What a run left on disk.

struct Findings {
    long rows = 0, runs = 0, lost = 0, empty = 0;
    std::map<std::string, long> kinds;
    std::vector<std::string> examples;

    void add(const std::string& kind, const std::string& row, const QString& detail)
    {
        if (kinds[kind]++ < 3 && examples.size() < 40)
            examples.push_back(kind + " [" + row + "] " + s(detail));
    }
};

bool regularWith(const QString& path, const QByteArray& data)
{
    struct stat st { };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode)
        && st.st_size == data.size() && readAll(path) == data;
}

bool exists(const QString& path)
{
    struct stat st { };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// As prepare() left it.
bool inOldState(const World& w, const Item& item)
{
    const QString path = w.home + '/' + item.path;
    if (item.role == Role::Install)
        return !exists(path);
    const struct stat st = statOf(path);
    return regularWith(path, item.oldData) && (st.st_mode & 07777) == item.oldMode
        && st.st_mtime == installedTime.toSecsSinceEpoch();
}

bool inTargetState(const World& w, const Item& item)
{
    const QString path = w.home + '/' + item.path;
    if (item.role == Role::Remove)
        return !exists(path);
    if (item.role == Role::Keep)
        return regularWith(path, item.oldData);
    const struct stat st = statOf(path);
    const QDateTime time = item.described ? describedTime : arrivalTime;
    return regularWith(path, item.newData) && (st.st_mode & 07777) == item.wantMode
        && st.st_mtime == time.toSecsSinceEpoch();
}

// Every installed path holds its old or its new content: never nothing, never anything else.
void checkNothingLost(const World& w, const std::string& row, Findings& f)
{
    for (const Item& item : w.items) {
        const QString path = w.home + '/' + item.path;
        const bool present = exists(path);
        const bool old = item.role != Role::Install && regularWith(path, item.oldData);
        const bool fresh = isNew(item) && regularWith(path, item.newData);
        if (old || fresh || (!present && item.role != Role::Replace && item.role != Role::Keep))
            continue;
        if (present)
            ++f.empty;
        else
            ++f.lost;
        f.add(present ? "path holds neither old nor new content" : "installed file lost", row,
            item.path + QString(" (%1 bytes)").arg(readAll(path).size()));
    }
    if (snapshot(w.root + "/canary") != w.canary)
        f.add("canary tree outside home changed", row, w.root + "/canary");
}

// Files in the home directory that belong to no item: leftovers of a replacement.
QStringList strays(const World& w)
{
    QStringList found;
    QDirIterator it(w.home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(w.home).relativeFilePath(path);
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
            continue;
        if (name == "conf.json" || name == "upgrade/desc.json" || name.startsWith("upgrade/new/"))
            continue;
        bool known = false;
        for (const Item& item : w.items)
            known = known || item.path == name;
        if (!known)
            found << name;
    }
    return found;
}

// A leftover of |item|'s replacement: a file beside it whose name holds the item's name (a backup,
// a temporary copy).
bool belongsTo(const QString& stray, const Item& item)
{
    const QFileInfo a(stray), b(item.path);
    return a.path() == b.path() && a.fileName().contains(b.fileName());
}

// A "Warning:" or "Error:" line names |path|, or stands in its part of the log (after its
// "NewFile: " or "RemoveFile: " line, where texts such as "create directory '<dir>' failed" name
// only a directory).
bool named(const QString& log, const QString& path)
{
    QString part;
    for (const QString& line : log.split('\n')) {
        if (line.startsWith("NewFile: ") || line.startsWith("RemoveFile: "))
            part = line.section(' ', 1);
        else if (!line.startsWith("Warning: ") && !line.startsWith("Error: "))
            continue;
        else if (line.contains(path) || part == path)
            return true;
    }
    return false;
}

// A run that ended before touching anything says so and leaves the home directory untouched;
// otherwise every file it left short of its target state is named in a warning or an error.
void checkReported(const World& w, const Outcome& o, const std::string& row, Findings& f)
{
    if (!o.log.contains("State: File-Upgrade\n")) {
        if (!o.log.contains("\nError: ") && !o.log.contains("\nWarning: "))
            f.add("early end without a warning or an error", row, o.log.right(300));
        for (const Item& item : w.items) {
            if (!inOldState(w, item))
                f.add("early end changed a file", row, item.path);
        }
        return;
    }
    for (const Item& item : w.items) {
        if (!inTargetState(w, item) && !named(o.log, item.path))
            f.add("file short of its target state without a warning", row, item.path);
    }
    for (const QString& stray : strays(w)) {
        bool explained = false;
        for (const Item& item : w.items)
            explained = explained || (belongsTo(stray, item) && named(o.log, item.path));
        if (!explained)
            f.add("leftover without a warning", row, stray);
    }
}

void checkTargetState(const World& w, const Outcome& o, const std::string& row, Findings& f)
{
    if (o.code != 0)
        f.add("rerun did not exit 0", row, o.log.right(300));
    for (const Item& item : w.items) {
        if (!inTargetState(w, item))
            f.add("rerun left a file short of its target state", row, item.path);
    }
    for (const QString& stray : strays(w))
        f.add("rerun left a leftover", row, stray);
    if (exists(w.description))
        f.add("rerun kept the description", row, w.description);
    if (snapshot(w.root + "/canary") != w.canary)
        f.add("canary tree outside home changed", row, w.root + "/canary");
}

std::string details(const Findings& f)
{
    std::string text;
    for (const auto& kind : f.kinds)
        text += "  " + std::to_string(kind.second) + " x " + kind.first + '\n';
    for (const std::string& example : f.examples)
        text += "  e.g. " + example + '\n';
    return text;
}

void report(const char* family, long calls, const Findings& f)
{
    std::cout << "[ figures  ] " << family << ": calls K=" << calls << ", rows " << f.rows
              << ", runs " << f.runs << ", files lost " << f.lost << ", paths ever empty "
              << f.empty << (stride > 1 ? ", every " + std::to_string(stride) + "th row" : "")
              << '\n';
    long faults = 0;
    for (const auto& kind : f.kinds)
        faults += kind.second;
    if (faults == 0 && !f.kinds.empty())
        std::cout << details(f);
    EXPECT_EQ(faults, 0) << details(f);
}

// ---- The calls of a clean run.

struct Call {
    long number;
    QString family, name, paths;
};

std::vector<Call> readTrace(const QString& path)
{
    std::vector<Call> calls;
    for (const QString& line : QString::fromUtf8(readAll(path)).split('\n', Qt::SkipEmptyParts)) {
        const QStringList words = line.split(' ');
        calls.push_back({ words.value(0).toLong(), words.value(1), words.value(2),
            QStringList(words.mid(3)).join(' ') });
    }
    return calls;
}

// Calls that may change what is on disk. A kill at any other call leaves the same disk as a kill
// just after the change before it.
bool changesDisk(const Call& call)
{
    return call.family != "stat" && call.family != "read"
        && (call.family != "open" || call.name.endsWith("+creat"));
}

// The errnos that |call| can really meet: EIO anywhere; EACCES where a path is checked for a
// change (root meets it there through attributes and security modules); ENOSPC where the call may
// allocate; EXDEV for renames and hard links.
std::vector<int> errnosOf(const Call& call)
{
    static const QStringList allocating { "write", "close", "mkdir", "rename", "link", "truncate",
        "copy" };
    std::vector<int> errors { EIO };
    if (!call.paths.startsWith('@') && call.family != "sync" && changesDisk(call))
        errors.push_back(EACCES);
    if (allocating.contains(call.family) || call.name.endsWith("+creat")
        || (call.family == "sync" && call.name != "sync"))
        errors.push_back(ENOSPC);
    if (call.family == "rename" || (call.family == "link" && call.name.startsWith("link")))
        errors.push_back(EXDEV);
    return errors;
}

// The calls that rows fail: all of them, except that the blocks of one file's reads, writes or
// copies are represented by the first and the last, and under an emulator only every stride-th.
std::vector<Call> representatives(const std::vector<Call>& calls)
{
    const auto block = [](const Call& call) {
        return call.family == "read" || call.family == "write" || call.family == "copy";
    };
    std::map<QString, std::pair<size_t, size_t>> firstAndLast;
    for (size_t i = 0; i < calls.size(); ++i) {
        const QString key = calls[i].name + ' ' + calls[i].paths;
        if (!firstAndLast.count(key))
            firstAndLast[key].first = i;
        firstAndLast[key].second = i;
    }
    std::vector<Call> kept;
    for (size_t i = 0; i < calls.size(); ++i) {
        const auto& ends = firstAndLast[calls[i].name + ' ' + calls[i].paths];
        if (!block(calls[i]) || i == ends.first || i == ends.second)
            kept.push_back(calls[i]);
    }
    std::vector<Call> sampled;
    for (size_t i = 0; i < kept.size(); i += stride)
        sampled.push_back(kept[i]);
    return sampled;
}

// ---- The file systems the worlds live on.

// Rows create and delete thousands of small trees: on tmpfs that costs a fraction of what it costs
// on ext4, and an injected fault does not depend on the file system.
QString worldBase()
{
    static const QString base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : QDir::tempPath();
    return base;
}

bool sameFileSystem(const QString& a, const QString& b)
{
    return statOf(a).st_dev == statOf(b).st_dev;
}

// A second file system for the new-arrival directory: a small ext4 image on a loop device where
// mounting is allowed, else the temporary directory when it is another file system than the
// worlds'. Neither: |mountPoint| is empty and |reason| says why.
class SecondFileSystem {
public:
    static SecondFileSystem& instance()
    {
        static SecondFileSystem fs;
        return fs;
    }

    ~SecondFileSystem()
    {
        if (loopMounted)
            QProcess::execute("umount", { "-l", mountPoint });
    }

    QString mountPoint, reason;
    bool loopMounted = false;

private:
    SecondFileSystem()
    {
        const QString image = dir.path() + "/fs.img";
        mountPoint = dir.path() + "/mnt";
        QDir().mkpath(mountPoint);
        QFile file(image);
        loopMounted = file.open(QIODevice::WriteOnly) && file.resize(24 * 1024 * 1024)
            && command("mkfs.ext4", { "-q", "-F", "-m", "0", image })
            && command("mount", { "-o", "loop", image, mountPoint });
        if (loopMounted)
            return;
        mountPoint = QDir::tempPath();
        if (sameFileSystem(mountPoint, worldBase())) {
            mountPoint.clear();
            reason = "no second file system: " + reason;
        }
    }

    bool command(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.start(program, arguments);
        if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0)
            return true;
        reason = program + " refused: " + QString::fromLocal8Bit(process.readAllStandardError());
        return false;
    }

    QTemporaryDir dir;
};

enum class Layout { SameFileSystem, OtherFileSystem };

std::string layoutName(Layout layout)
{
    return layout == Layout::SameFileSystem ? "SameFileSystem" : "OtherFileSystem";
}

// A fresh world of |layout|; null, with |reason| set, when the layout cannot be had here.
std::unique_ptr<World> makeWorld(Layout layout, QString& reason)
{
    QString arrivalParent;
    if (layout == Layout::OtherFileSystem) {
        arrivalParent = SecondFileSystem::instance().mountPoint;
        reason = SecondFileSystem::instance().reason;
        if (arrivalParent.isEmpty())
            return nullptr;
    }
    auto world = std::make_unique<World>(worldBase(), arrivalParent);
    world->prepare();
    return world;
}

// The clean run's calls for |layout|, traced once.
std::vector<Call> cleanCalls(Layout layout)
{
    QString reason;
    auto world = makeWorld(layout, reason);
    if (!world)
        return {};
    QTemporaryDir traceDir;
    const QString trace = traceDir.path() + "/trace";
    Injection clean;
    clean.trace = trace;
    world->deploy(clean);
    return readTrace(trace);
}

// Calls of |layout|'s clean run that a fault row fails. With the new files on another file system,
// only the calls that the same-file-system run does not make alike (the copies, their temporary
// files, the removal of the sources): the others are failed in the same-file-system rows.
std::vector<Call> faultCalls(Layout layout, const std::vector<Call>& calls)
{
    if (layout == Layout::SameFileSystem)
        return representatives(calls);
    QStringList shared;
    for (const Call& call : cleanCalls(Layout::SameFileSystem))
        shared << call.name + ' ' + call.paths;
    std::vector<Call> own;
    for (const Call& call : calls) {
        QString paths = call.paths;
        if (!shared.contains(call.name + ' ' + paths.replace("1:new/", "0:home/upgrade/new/")))
            own.push_back(call);
    }
    return representatives(own);
}

// ---- Families.

TEST(PowerLoss, CleanRunsReachTheTargetStateWithTheSameTraceTwice)
{
    for (Layout layout : { Layout::SameFileSystem, Layout::OtherFileSystem }) {
        SCOPED_TRACE(layoutName(layout));
        std::vector<QByteArray> traces;
        for (int i = 0; i < 2; ++i) {
            QString reason;
            auto w = makeWorld(layout, reason);
            if (!w) {
                std::cout << "[ skipped  ] " << layoutName(layout) << ": " << s(reason) << '\n';
                break;
            }
            const pid_t sleeper = startNamed(w->home + '/' + w->program, "60");
            QTemporaryDir traceDir;
            Injection clean;
            clean.trace = traceDir.path() + "/trace";
            const Outcome o = w->deploy(clean);
            int status = 0;
            ASSERT_EQ(waitpid(sleeper, &status, 0), sleeper);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << s(o.log);
            for (const QString& line : o.log.split('\n')) {
                EXPECT_FALSE(line.startsWith("Warning: ") && !endedDuringWalk(line)
                    && !line.contains("upgrade.deploy") && !line.contains("just kill")
                    && !line.endsWith("' is not signed")) // no key is installed here
                    << s(line);
            }
            Findings f;
            checkTargetState(*w, o, "clean", f);
            EXPECT_TRUE(f.kinds.empty()) << details(f);
            QByteArray calls;
            for (const Call& call : readTrace(clean.trace))
                calls += call.name.toUtf8() + ' ' + call.paths.toUtf8() + '\n';
            traces.push_back(calls);
        }
        if (traces.size() == 2) {
            EXPECT_EQ(traces[0].toStdString(), traces[1].toStdString());
        }
    }
}

bool isFlush(const Call& call) { return call.name == "sync" || call.name.endsWith("syncfs"); }

// Calls that change what a file system holds (a close or a flush does not).
bool modifies(const Call& call)
{
    return changesDisk(call) && call.family != "close" && call.family != "sync";
}

// What a power cut could still take from a clean run: the index of a call that is not yet on disk
// when a later one relies on it, or an empty text.
QString unflushed(const std::vector<Call>& calls, bool twoFileSystems)
{
    std::map<QString, int> written; // path -> the call that wrote it last, until it is flushed
    QStringList flushedFileSystems;
    bool renamed = false;
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        const QString first = call.paths.section(' ', 0, 0);
        if (isFlush(call)) {
            flushedFileSystems << (call.name == "sync" ? "01" : first.mid(1, 1));
            written.clear();
        } else if (call.family == "write" || call.family == "copy") {
            written[first.mid(1)] = int(i);
        } else if (call.family == "sync") {
            written.erase(first.mid(1));
        } else if (call.family == "rename" && written.count(first)) {
            return "a copy renamed in before it was flushed: #" + QString::number(call.number);
        }
        if (call.family == "rename" && !renamed) {
            renamed = true;
            const QString all = flushedFileSystems.join("");
            if (!all.contains('0') || (twoFileSystems && !all.contains('1')))
                return "first rename before the new files were flushed: #"
                    + QString::number(call.number);
        }
    }
    for (size_t i = calls.size(); i-- > 0;) {
        if (isFlush(calls[i]))
            return {};
        if (modifies(calls[i]))
            return "last change never flushed: #" + QString::number(calls[i].number);
    }
    return {};
}

TEST(PowerLoss, FlushesBeforeTheFirstRenameAndAfterTheLastChange)
{
    for (Layout layout : { Layout::SameFileSystem, Layout::OtherFileSystem }) {
        const std::vector<Call> calls = cleanCalls(layout);
        if (calls.empty())
            std::cout << "[ skipped  ] " << layoutName(layout) << ": "
                      << s(SecondFileSystem::instance().reason) << '\n';
        else
            EXPECT_EQ(s(unflushed(calls, layout == Layout::OtherFileSystem)), "")
                << layoutName(layout);
    }
}

// A real full disk: the home directory on a small ext4 file system with no room left for the large
// file, the new files on another one. The run measures the room first and moves nothing; started
// again once there is room, it lands.
TEST(PowerLoss, FullFileSystemKeepsTheInstalledFilesAndSaysSo)
{
    SecondFileSystem& fs = SecondFileSystem::instance();
    if (!fs.loopMounted)
        GTEST_SKIP() << "no ext4 image could be mounted: " << s(fs.reason);
    World w(fs.mountPoint, worldBase());
    w.prepare();
    const QString filler = fs.mountPoint + "/filler";
    struct statvfs vfs { };
    ASSERT_EQ(::statvfs(QFile::encodeName(fs.mountPoint).constData(), &vfs), 0);
    const qint64 room = qint64(vfs.f_bavail) * qint64(vfs.f_frsize) - 256 * 1024;
    ASSERT_GT(room, 0);
    writeFile(filler, QByteArray(int(room), 'f'));
    Findings f;
    const Outcome o = w.deploy({});
    ++f.rows, ++f.runs;
    EXPECT_TRUE(o.code == 0 || o.code == 1) << s(o.log);
    const auto big = std::find_if(w.items.begin(), w.items.end(),
        [](const Item& item) { return item.path == "data/big.dat"; });
    EXPECT_FALSE(inTargetState(w, *big)) << "the large file fitted after all";
    checkNothingLost(w, "full", f);
    checkReported(w, o, "full", f);
    ASSERT_TRUE(QFile::remove(filler));
    w.sendPackage();
    ++f.runs;
    checkTargetState(w, w.deploy({}), "full rerun", f);
    report("real full disk", 0, f);
}

// Room before the first change: the home directory on the small ext4 file system, the new files on
// another one (so each is copied and costs its size in whole blocks). %H stands for the home
// directory, %B for the new file's size rounded up to blocks, and <n> for the room the file system
// has at the time of the run.
struct RoomRow {
    const char* name;
    qint64 extra; // the new file's size beyond the room available; negative: that much less
    bool check; // a dry run
    int code;
    const char* line; // a line the log must hold
    bool moved; // the new file is in place afterwards
};
void PrintTo(const RoomRow& row, std::ostream* out) { *out << row.name; }

const RoomRow roomRows[] = {
    { "RoomEnoughLands", -1024 * 1024, false, 0, "Info: remove file '%H/new/files.json' ok", true },
    { "TooLittleRoomMovesNothing", 64 * 1024, false, 1,
        "Error: not enough space on '%H': need %B bytes, <n> available", false },
    { "DryRunTellsTheRoomNeeded", -1024 * 1024, true, 0,
        "Check: space on '%H': need %B bytes, <n> available", false },
    { "DryRunTellsTheRoomMissing", 64 * 1024, true, 0,
        "Check: fail: not enough space on '%H': need %B bytes, <n> available", false },
};

class Room : public testing::TestWithParam<RoomRow> { };

TEST_P(Room, IsMeasuredBeforeTheFirstChange)
{
    const RoomRow& row = GetParam();
    SecondFileSystem& fs = SecondFileSystem::instance();
    if (!fs.loopMounted)
        GTEST_SKIP() << "no ext4 image could be mounted: " << s(fs.reason);
    QTemporaryDir arrival;
    const QString home = fs.mountPoint + "/room-home";
    QDir(home).removeRecursively();
    writeFile(home + "/data.bin", "old");
    writeFile(home + "/conf.json",
        doc(qPrintable("{'upgrade':{'new-arrival':{'file-location':'" + arrival.path()
            + "','file-desc':'new/files.json'}}}")));
    writeFile(home + "/new/files.json", doc("{'files':['data.bin']}"));
    struct statvfs vfs { };
    ASSERT_EQ(::statvfs(QFile::encodeName(fs.mountPoint).constData(), &vfs), 0);
    const qint64 block = qint64(vfs.f_frsize);
    const qint64 size = qint64(vfs.f_bavail) * block + row.extra;
    QFile big(arrival.path() + "/data.bin");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(size));
    big.close();
    QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
    command << UPGRADE_DEPLOY_BIN << "-homedir=" + home;
    if (row.check)
        command << "-check";
    QProcess process;
    process.start(command.takeFirst(), command);
    ASSERT_TRUE(process.waitForFinished(120000));
    QString log = QString::fromUtf8(process.readAllStandardOutput());
    log.replace(QRegularExpression("(space on '[^']*': need \\d+ bytes, )\\d+ available"),
        "\\1<n> available");
    const QString line = QString(row.line)
                             .replace("%H", home)
                             .replace("%B", QString::number((size + block - 1) / block * block));
    EXPECT_EQ(process.exitCode(), row.code) << s(log);
    EXPECT_TRUE(log.contains("\n" + line + "\n")) << s(line) << "\n" << s(log);
    EXPECT_EQ(readAll(home + "/data.bin").size(), row.moved ? size : 3);
    EXPECT_EQ(QFileInfo::exists(home + "/new/files.json"), !row.moved);
    QDir(home).removeRecursively();
}
INSTANTIATE_TEST_SUITE_P(Rows, Room, testing::ValuesIn(roomRows),
    [](const testing::TestParamInfo<RoomRow>& row) { return std::string(row.param.name); });

// ---- Rollback and commit runs: the reference upgrade lands with -no-commit, and then -rollback or
// -commit runs with each of its calls failed or killed in turn, and is repeated. Every path must
// hold its old or its new content after every run; the repeated command must end with the whole old
// version (rollback) or the whole new one (commit) and no store.

enum class Command { Rollback, Commit };

std::string commandName(Command command)
{
    return command == Command::Rollback ? "Rollback" : "Commit";
}

QStringList commandOptions(Command command)
{
    return { command == Command::Rollback ? "-rollback" : "-commit" };
}

std::unique_ptr<World> landedWorld()
{
    QString reason;
    auto world = makeWorld(Layout::SameFileSystem, reason);
    const Outcome landed = world->deploy({}, { "-no-commit" });
    EXPECT_EQ(landed.code, 0) << s(landed.log);
    return world;
}

// A rollback deletes the notification state as the upgrade does: the restarted version builds it.
bool inFinalState(const World& w, const Item& item, Command command)
{
    if (command == Command::Commit)
        return inTargetState(w, item);
    if (item.path == "conf/share_notify.json")
        return !exists(w.home + '/' + item.path);
    return inOldState(w, item);
}

// The store is a leftover too: strays() lists every saved file and the manifest.
void checkFinalState(
    const World& w, const Outcome& o, Command command, const std::string& row, Findings& f)
{
    if (o.code != 0)
        f.add("command did not exit 0", row, o.log.right(300));
    for (const Item& item : w.items) {
        if (!inFinalState(w, item, command))
            f.add("path short of the command's final state", row, item.path);
    }
    for (const QString& stray : strays(w))
        f.add("leftover after the command", row, stray);
    if (snapshot(w.root + "/canary") != w.canary)
        f.add("canary tree outside home changed", row, w.root + "/canary");
}

std::vector<Call> commandCalls(Command command)
{
    auto world = landedWorld();
    QTemporaryDir traceDir;
    Injection clean;
    clean.trace = traceDir.path() + "/trace";
    Findings f;
    checkFinalState(*world, world->deploy(clean, commandOptions(command)), command,
        "clean " + commandName(command), f);
    EXPECT_TRUE(f.kinds.empty()) << details(f);
    return readTrace(clean.trace);
}

// ---- Every call of a run failed or killed in turn. What runs is the upgrade (on one file system,
// or with the new files on a second one), or -rollback or -commit after the reference upgrade
// landed with -no-commit.

enum class Subject { SameFileSystem, OtherFileSystem, Rollback, Commit };

std::string subjectName(Subject subject)
{
    switch (subject) {
    case Subject::SameFileSystem:
        return layoutName(Layout::SameFileSystem);
    case Subject::OtherFileSystem:
        return layoutName(Layout::OtherFileSystem);
    case Subject::Rollback:
        return commandName(Command::Rollback);
    case Subject::Commit:
        return commandName(Command::Commit);
    }
    return std::string();
}

bool isUpgrade(Subject subject)
{
    return subject == Subject::SameFileSystem || subject == Subject::OtherFileSystem;
}

Layout layoutOf(Subject subject)
{
    return subject == Subject::OtherFileSystem ? Layout::OtherFileSystem : Layout::SameFileSystem;
}

Command commandOf(Subject subject)
{
    return subject == Subject::Commit ? Command::Commit : Command::Rollback;
}

QStringList optionsOf(Subject subject)
{
    return isUpgrade(subject) ? QStringList() : commandOptions(commandOf(subject));
}

// The calls of a clean run: how many there are, and those each loop takes in turn.
struct Trace {
    long count = 0;
    std::vector<Call> taken;
};

Trace subjectCalls(Subject subject)
{
    if (isUpgrade(subject)) {
        const std::vector<Call> calls = cleanCalls(layoutOf(subject));
        return { long(calls.size()), calls.empty() ? calls : faultCalls(layoutOf(subject), calls) };
    }
    const std::vector<Call> calls = commandCalls(commandOf(subject));
    return { long(calls.size()), representatives(calls) };
}

std::unique_ptr<World> subjectWorld(Subject subject)
{
    QString reason;
    return isUpgrade(subject) ? makeWorld(layoutOf(subject), reason) : landedWorld();
}

// The run again after one that was failed or killed: an upgrade must reach its target state, a
// command its final state.
void runAgain(World& w, Subject subject, const std::string& row, Findings& f)
{
    ++f.runs;
    if (isUpgrade(subject))
        checkTargetState(w, w.deploy({}), row + " rerun", f);
    else
        checkFinalState(
            w, w.deploy({}, optionsOf(subject)), commandOf(subject), row + " repeat", f);
}

// After a failed call an upgrade must name every file it left short of its target state, and is
// run again only when one is; a command may end with 1 (it says so), and one that exits 0 must
// have reached its final state.
void afterFailedRun(
    World& w, Subject subject, const Outcome& o, const std::string& row, Findings& f)
{
    if (isUpgrade(subject)) {
        checkReported(w, o, row, f);
        bool done = true;
        for (const Item& item : w.items)
            done = done && inTargetState(w, item);
        if (done && strays(w).isEmpty())
            return;
        w.sendPackage();
    } else if (o.code == 0) {
        checkFinalState(w, o, commandOf(subject), row, f);
        return;
    }
    runAgain(w, subject, row, f);
}

std::string familyName(Subject subject, const char* what)
{
    return (isUpgrade(subject) ? std::string() : subjectName(subject) + ' ') + what;
}

const auto subjects = testing::Values(
    Subject::SameFileSystem, Subject::OtherFileSystem, Subject::Rollback, Subject::Commit);

class Faults : public testing::TestWithParam<std::tuple<Subject, bool>> { };

TEST_P(Faults, EveryCallFailedInTurnLosesNothingAndARunAgainFinishes)
{
    SKIP_FAULT_LOOP_UNDER_QT6();
    const Subject subject = std::get<0>(GetParam());
    const bool persist = std::get<1>(GetParam());
    const Trace calls = subjectCalls(subject);
    if (calls.count == 0)
        GTEST_SKIP() << s(SecondFileSystem::instance().reason);
    Findings f;
    for (const Call& call : calls.taken) {
        for (int error : errnosOf(call)) {
            const std::string row = QString("#%1 %2 %3 %4")
                                        .arg(call.number)
                                        .arg(call.name, call.paths, strerror(error))
                                        .toStdString();
            auto w = subjectWorld(subject);
            const Outcome o = w->deploy(
                { persist ? "persist" : "once", call.number, error, {} }, optionsOf(subject));
            ++f.rows, ++f.runs;
            if (o.code != 0 && o.code != 1)
                f.add("run did not exit 0 or 1", row, o.log.right(300));
            checkNothingLost(*w, row, f);
            afterFailedRun(*w, subject, o, row, f);
        }
    }
    report(familyName(subject, persist ? "failed from then on" : "failed once").c_str(),
        calls.count, f);
}

INSTANTIATE_TEST_SUITE_P(PowerLoss, Faults, testing::Combine(subjects, testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<Subject, bool>>& param) {
        return subjectName(std::get<0>(param.param))
            + (std::get<1>(param.param) ? "_FromThenOn" : "_Once");
    });

class Kills : public testing::TestWithParam<std::tuple<Subject, bool>> { };

TEST_P(Kills, KilledAtEveryCallLeavesOldOrNewAndARunAgainFinishes)
{
    SKIP_FAULT_LOOP_UNDER_QT6();
    const Subject subject = std::get<0>(GetParam());
    const bool after = std::get<1>(GetParam());
    const Trace calls = subjectCalls(subject);
    if (calls.count == 0)
        GTEST_SKIP() << s(SecondFileSystem::instance().reason);
    Findings f;
    for (const Call& call : calls.taken) {
        if (!changesDisk(call))
            continue;
        const std::string row
            = QString("#%1 %2 %3").arg(call.number).arg(call.name, call.paths).toStdString();
        auto w = subjectWorld(subject);
        const Outcome o = w->deploy(
            { after ? "kill-after" : "kill-before", call.number, 0, {} }, optionsOf(subject));
        ++f.rows, ++f.runs;
        if (!o.killed)
            f.add("run was not killed", row, o.log.right(300));
        checkNothingLost(*w, row, f);
        runAgain(*w, subject, row, f);
    }
    report(familyName(subject, after ? "killed after the call" : "killed before the call").c_str(),
        calls.count, f);
}

INSTANTIATE_TEST_SUITE_P(PowerLoss, Kills, testing::Combine(subjects, testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<Subject, bool>>& param) {
        return subjectName(std::get<0>(param.param))
            + (std::get<1>(param.param) ? "_AfterTheCall" : "_BeforeTheCall");
    });

// An upgrade with -no-commit killed at every call (the saving of the previous version included),
// started again with -no-commit, and rolled back: the whole old version comes back.
TEST(StoreKills, KilledNoCommitUpgradeStartedAgainRollsBackWhole)
{
    SKIP_FAULT_LOOP_UNDER_QT6();
    QString reason;
    QTemporaryDir traceDir;
    Injection clean;
    clean.trace = traceDir.path() + "/trace";
    makeWorld(Layout::SameFileSystem, reason)->deploy(clean, { "-no-commit" });
    const std::vector<Call> calls = readTrace(clean.trace);
    Findings f;
    for (const Call& call : representatives(calls)) {
        if (!changesDisk(call))
            continue;
        for (const char* action : { "kill-before", "kill-after" }) {
            const std::string row = QString("#%1 %2 %3 %4")
                                        .arg(call.number)
                                        .arg(call.name, call.paths, action)
                                        .toStdString();
            auto w = makeWorld(Layout::SameFileSystem, reason);
            const Outcome o = w->deploy({ action, call.number, 0, {} }, { "-no-commit" });
            ++f.rows, ++f.runs;
            if (!o.killed)
                f.add("run was not killed", row, o.log.right(300));
            checkNothingLost(*w, row, f);
            const Outcome again = w->deploy({}, { "-no-commit" });
            if (again.code != 0)
                f.add("started again, the upgrade did not exit 0", row, again.log.right(300));
            checkNothingLost(*w, row + " again", f);
            f.runs += 2;
            checkFinalState(*w, w->deploy({}, commandOptions(Command::Rollback)), Command::Rollback,
                row + " rollback", f);
        }
    }
    report("-no-commit upgrade killed before / after the call", long(calls.size()), f);
}

} // namespace
