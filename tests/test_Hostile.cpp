// SPDX-License-Identifier: MIT
// Hostile packages and home directories, run end to end against the built UpgradeDeploy.
//
// Each row prepares a temporary root %R:
//   %R/home     the application's home: conf.json names upgrade/new as the new-arrival directory
//               and upgrade/desc.json as the description; QuorvelKeeper records the descriptors
//               it was started with in QuorvelKeeper.fd;
//   %R/canary   a tree outside home (files, a directory, a link, documents) that links in home
//               and in the package point at;
//   %R/log      where "-out=" logs go, and %R/pkg a new-arrival directory outside home.
// The row's steps then add what the package or home holds, and the deployer runs once with
// "-homedir=%R/home" and the row's arguments, under a time limit. Checked afterwards: the exit
// status; the log lines that must (or, after "!", must not) appear, where "*" matches any text;
// that every log line is one event of a known kind; the state of named paths in home; the helper
// processes; and that everything under %R but home, log and pkg is byte for byte, mode for mode and
// time for time what it was.
//
// Steps, fields separated by "|", paths relative to %R:
//   file|<path>|<text>       a regular file (mode 0644; single quotes in the text become double)
//   link|<path>|<target>     a symbolic link          hardlink|<path>|<existing path>
//   dir|<path>   fifo|<path>   socket|<path>   chardev|<path> (the null device's numbers)
//   nest|<path>|<n>          a JSON text of <n> opening brackets
//   sparse|<path>|<n>        a file of <n> zero bytes that takes no room on the disk (a hole)
//   sleeper|<name>|stopped   a copy of sleep at home/<name>, running; "stopped" or "running" is
//                            what the run must leave of it.
// %L is a unique name of exactly 15 characters, the length Linux keeps of a process name.
#include "support.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace testsupport;

struct Row {
    const char* name;
    std::vector<const char*> steps;
    const char* description; // written to upgrade/desc.json unless null
    const char* arguments; // after "-homedir=%R/home", separated by blanks
    int exitCode;
    std::vector<const char*> log; // lines that must appear; "!" for a line that must not
    std::vector<std::pair<const char*, const char*>> home; // path in home, state (see describe())
};

const char conf[] = "{'upgrade':{'new-arrival':{'file-location':'upgrade/new',"
                    "'file-desc':'upgrade/desc.json'}}}";

// clang-format off
const Row rows[] = {
    // Links in home that lead out of it.
    { "DeployThroughLinkedDirectoryIsRefused",
      { "link|home/lib|%R/canary/dir", "file|home/upgrade/new/lib/x|new x",
        "file|home/upgrade/new/lib/sub/n|new n" },
      "{'files':['lib/x','lib/sub/n']}", "", 0,
      { "Warning: 'lib/x' is outside the home directory",
        "Warning: 'lib/sub/n' is outside the home directory" },
      { { "lib", "link -> %R/canary/dir" }, { "upgrade/new/lib/x", "0644 'new x'" } } },
    { "RemovalThroughLinkedDirectoryIsRefused",
      { "link|home/lib|%R/canary/dir" },
      "{'files-remove':['lib/y']}", "", 0,
      { "Warning: remove file '%R/home/lib/y' failed" },
      { { "lib", "link -> %R/canary/dir" } } },
    { "DotDotAfterLinkedDirectoryIsRefused",
      { "link|home/lib|%R/canary/dir", "dir|home/upgrade/new/lib", "file|home/upgrade/new/z|new z" },
      "{'files':['lib/../z'],'files-remove':['lib/../file']}", "", 0,
      { "Warning: 'lib/../z' is outside the home directory",
        "Warning: remove file '%R/home/lib/../file' failed" },
      { { "z", "absent" }, { "upgrade/new/z", "0644 'new z'" } } },
    { "LinkedStateDirectoriesAreLeftAlone",
      { "link|home/conf|%R/canary/conf", "link|home/data|%R/canary/data" },
      "{}", "", 0,
      { "Warning: remove file '%R/home/conf/share_notify.json' failed",
        "Warning: remove file '%R/home/data/share_notify.db' failed" },
      { { "conf", "link -> %R/canary/conf" } } },
    { "LinkAtTargetIsReplacedOrRemovedNotFollowed",
      { "link|home/tool|%R/canary/tool", "file|home/upgrade/new/tool|new tool",
        "link|home/lib|%R/canary/dir", "link|home/conf/share_notify.json|%R/canary/file" },
      "{'files-ex':[{'path':'tool','modified-time':'2020-01-02 03:04:05'}],"
      "'files-remove':['lib']}", "", 0,
      { "Info: remove file '%R/home/conf/share_notify.json' ok", "!Warning: " },
      { { "tool", "0775 'new tool'" }, { "tool.tmp", "absent" }, { "lib", "absent" },
        { "conf/share_notify.json", "absent" } } },
    { "DanglingLinkAtTargetIsReplacedNotFollowed",
      { "link|home/notes.txt|%R/canary/missing.txt", "file|home/upgrade/new/notes.txt|new notes" },
      "{'files':['notes.txt']}", "", 0,
      { "NewFile: notes.txt", "!Warning: " },
      { { "notes.txt", "0644 'new notes'" } } },
    { "DanglingLinkAtBackupPathIsNotFollowed",
      { "file|home/lib.so|old lib", "link|home/lib.so.tmp|%R/canary/missing.so",
        "file|home/upgrade/new/lib.so|new lib" },
      "{'files':['lib.so']}", "", 0,
      { "NewFile: lib.so", "!Warning: " },
      { { "lib.so", "0775 'new lib'" }, { "lib.so.tmp", "absent" } } },
    { "LinkedDirectoryInsideHomeIsFollowed",
      { "dir|home/v2", "link|home/cur|%R/home/v2", "file|home/upgrade/new/cur/x.txt|new x" },
      "{'files':['cur/x.txt']}", "", 0,
      { "NewFile: cur/x.txt", "!Warning: " },
      { { "v2/x.txt", "0644 'new x'" }, { "cur", "link -> %R/home/v2" } } },
    { "HomeGivenThroughALinkIsServed",
      { "link|homelink|%R/home", "file|home/old.txt|old", "file|home/upgrade/new/lib/a.so|new a" },
      "{'files':['lib/a.so'],'files-remove':['old.txt']}", "-homedir=%R/homelink", 0,
      { "Info: remove file '%R/homelink/upgrade/desc.json' ok", "!Warning: " },
      { { "lib/a.so", "0644 'new a'" }, { "old.txt", "absent" } } },

    { "NewArrivalDirectoryOutsideHomeIsServed",
      { "file|home/conf.json|{'upgrade':{'new-arrival':{'file-location':'%R/pkg',"
        "'file-desc':'%R/pkg/desc.json'}}}",
        "file|pkg/a.txt|new a", "file|pkg/desc.json|{'files':['a.txt']}" },
      nullptr, "", 0,
      { "Info: remove file '%R/pkg/desc.json' ok", "!Warning: " },
      { { "a.txt", "0644 'new a'" }, { "../pkg/a.txt", "absent" } } },

    // What the package brings.
    { "NewFileThatIsALinkIsRefused",
      { "link|home/upgrade/new/evil|%R/canary/file" },
      "{'files-ex':[{'path':'evil','modified-time':'2020-01-02 03:04:05'}]}", "", 0,
      { "Warning: '%R/home/upgrade/new//evil' is not a regular file" },
      { { "evil", "absent" }, { "upgrade/new/evil", "link -> %R/canary/file" } } },
    { "NewFileThatIsADirectoryIsRefused",
      { "file|home/upgrade/new/d/inner|inner" },
      "{'files':['d']}", "", 0,
      { "Warning: '%R/home/upgrade/new//d' is not a regular file" },
      { { "d", "absent" }, { "upgrade/new/d/inner", "0644 'inner'" } } },
    { "NewFilesThatAreSpecialFilesAreRefused",
      { "fifo|home/upgrade/new/p.txt", "socket|home/upgrade/new/s.txt",
        "chardev|home/upgrade/new/c.txt" },
      "{'files':['p.txt','s.txt','c.txt']}", "", 0,
      { "Warning: '%R/home/upgrade/new//p.txt' is not a regular file",
        "Warning: '%R/home/upgrade/new//s.txt' is not a regular file",
        "Warning: '%R/home/upgrade/new//c.txt' is not a regular file" },
      { { "p.txt", "absent" }, { "s.txt", "absent" }, { "c.txt", "absent" },
        { "upgrade/new/p.txt", "fifo" } } },
    { "SourceOutsideTheNewArrivalDirectoryIsRefused",
      { "link|home/upgrade/new/sub|%R/canary/dir", "file|home/conf/secret|secret",
        "link|home/upgrade/new/cfg|%R/home/conf" },
      "{'files':['sub/x','cfg/secret']}", "", 0,
      { "Warning: 'sub/x' is outside the new-arrival directory",
        "Warning: 'cfg/secret' is outside the new-arrival directory" },
      { { "sub/x", "absent" }, { "cfg/secret", "absent" }, { "conf/secret", "0644 'secret'" } } },
    { "HardLinkedNewFileLeavesItsOtherNameAlone",
      { "hardlink|home/upgrade/new/run|%R/canary/file" },
      "{'files-ex':[{'path':'run','modified-time':'2020-01-02 03:04:05'}]}", "", 0,
      {}, {} },
    { "TargetThatIsAnInstalledDirectoryIsRefused",
      { "file|home/lib.d/inner|installed", "file|home/upgrade/new/lib.d|new" },
      "{'files':['lib.d']}", "", 0,
      { "Warning: '%R/home/lib.d' is a directory" },
      { { "lib.d/inner", "0644 'installed'" }, { "lib.d.tmp", "absent" },
        { "upgrade/new/lib.d", "0644 'new'" } } },

    // Documents and log files that are not regular files, or hold nothing.
    { "ConfJsonFifoFailsAtOnce",
      { "fifo|home/conf.json" }, "{}", "", 1,
      { "Error: open '%R/home/conf.json' failed: *" },
      { { "conf.json", "fifo" } } },
    { "DescriptionFifoFailsAtOnce",
      { "fifo|home/upgrade/desc.json" }, nullptr, "", 1,
      { "Error: open '%R/home/upgrade/desc.json' failed: *" },
      { { "upgrade/desc.json", "fifo" } } },
    { "DescriptionLinkedToADeviceFails",
      { "link|home/upgrade/desc.json|/dev/null" }, nullptr, "", 1,
      { "Error: open '%R/home/upgrade/desc.json' failed: *" },
      { { "upgrade/desc.json", "link -> /dev/null" } } },
    { "LogFileFifoFallsBackToStandardOutput",
      { "fifo|log/run.fifo" }, "{}", "-out=%R/log/run.fifo", 0,
      { "Warning: open log file '%R/log/run.fifo' failed", "State: End" }, {} },
    { "DocumentsLinkedToRegularFilesAreRead",
      { "link|home/conf.json|%R/canary/conf.json", "link|home/upgrade/desc.json|%R/canary/desc.json",
        "file|home/upgrade/new/ok.txt|new ok" },
      nullptr, "", 0,
      { "Info: remove file '%R/home/upgrade/desc.json' ok", "!Warning: " },
      { { "ok.txt", "0644 'new ok'" }, { "upgrade/desc.json", "absent" } } },
    { "ZeroByteDescriptionIsKept",
      {}, "", "", 1,
      { "Error: parse '%R/home/upgrade/desc.json' failed" },
      { { "upgrade/desc.json", "0644 ''" } } },
    { "WhiteSpaceDescriptionIsKept",
      {}, "\xEF\xBB\xBF \n\t\r ", "", 1,
      { "Error: parse '%R/home/upgrade/desc.json' failed" },
      { { "upgrade/desc.json", "0644 '\xEF\xBB\xBF \n\t\r '" } } },

    // Texts from documents in log lines.
    { "ControlCharactersInNamesAreEscaped",
      { "file|home/conf.json|{'upgrade':{'new-arrival':{'file-location':'upgrade/new',"
        "'file-desc':'upgrade/desc\\t1.json'}}}",
        "file|home/upgrade/new/a\nError: forged.txt|forged",
        "file|home/upgrade/desc\t1.json|{'files':['a\\nError: forged.txt'],"
        "'files-remove':['gone\\u0001\\u007f\\t\\r']}" },
      nullptr, "", 0,
      { "NewFileDesc: '%R/home/upgrade/desc\\t1.json'", "NewFile: a\\nError: forged.txt",
        "RemoveFile: gone\\x01\\x7f\\t\\r", "Warning: remove file '%R/home/gone\\x01\\x7f\\t\\r' failed",
        "Info: remove file '%R/home/upgrade/desc\\t1.json' ok" },
      { { "a\nError: forged.txt", "0644 'forged'" } } },
    // Over the size limit (128 MiB) a document fails before a byte of it is read.
    { "DescriptionOverTheSizeLimitFailsAndIsKept",
      { "sparse|home/upgrade/desc.json|134217729" }, nullptr, "-appname=app", 1,
      { "Error: '%R/home/upgrade/desc.json' is too large: 134217729 bytes, more than the 134217728 a document may hold",
        "Info: restart '%R/home/app'(by keeper) ok" },
      { { "upgrade/desc.json", "0644 <134217729 bytes>" } } },
    { "ConfJsonOverTheSizeLimitFailsAndRestarts",
      { "sparse|home/conf.json|2147483648" }, "{}", "-appname=app", 1,
      { "Error: '%R/home/conf.json' is too large: 2147483648 bytes, more than the 134217728 a document may hold",
        "Info: restart '%R/home/app'(by keeper) ok" },
      {} },
    { "DeeplyNestedDescriptionFailsWithoutCrashing",
      { "nest|home/upgrade/desc.json|200000" }, nullptr, "", 1,
      { "Error: parse '%R/home/upgrade/desc.json' failed" },
      { { "upgrade/desc.json", "0644 <200000 bytes>" } } },
    { "ErrorMessageWithLineBreakStaysOneLine",
      {}, "{'error-msg':'disk full\\nInfo: all good'}", "", 1,
      { "Error: disk full\\nInfo: all good" }, {} },
    { "NamesHoldingNulTouchNothing",
      { "file|home/keep|kept", "file|home/app|old app", "file|home/upgrade/new/app|new app" },
      "{'files':['app\\u0000.txt'],'files-remove':['keep\\u0000.bak']}", "", 0,
      { "NewFile: app\\x00.txt", "Warning: *app\\x00.txt*",
        "RemoveFile: keep\\x00.bak", "Warning: remove file '%R/home/keep\\x00.bak' failed" },
      { { "keep", "0644 'kept'" }, { "app", "0644 'old app'" },
        { "upgrade/new/app", "0644 'new app'" } } },

    // Restarted programs and stopped processes.
    { "LogFileIsNotInheritedByTheKeeper",
      {}, "{}", "-out=%R/log/run.log -appname=app", 0,
      { "Info: restart '%R/home/app'(by keeper) ok" }, {} },
    { "ApplicationNamedOutsideHomeIsNotStarted",
      {}, "{}", "-appname=../canary/file,../../bin/sh -gui", 0,
      { "Warning: restart '%R/home/../canary/file' failed: '../canary/file' is outside the home directory",
        "Warning: restart * failed: '../../bin/sh' is outside the home directory", "!Info: restart *" },
      {} },
    { "ApplicationLinkedOutOfHomeIsNotEntrusted",
      { "link|home/app|%R/canary/file" }, "{}", "-appname=app", 0,
      { "Warning: restart '%R/home/app'(by keeper) failed: 'app' is outside the home directory",
        "!Debug: keeper *" },
      { { "QuorvelKeeper.fd", "absent" } } },
    { "MappedProgramLinkedOutOfHomeIsNotStarted",
      { "link|home/bin/QuorvelBox|%R/canary/file" }, "{}", "-appname=bin/Brivane -gui", 0,
      { "Warning: restart '%R/home/bin/QuorvelBox' failed: 'bin/QuorvelBox' is outside the home directory" },
      {} },
    { "RestartProgramOutsideHomeIsNotStarted",
      { "file|home/conf.json|{'upgrade':{'new-arrival':{'file-location':'upgrade/new',"
        "'file-desc':'upgrade/desc.json'},'deploy':{'restart':'%R/canary/file'}}}" },
      "{}", "", 0,
      { "Warning: restart-program '%R/canary/file' failed: '../canary/file' is outside the home directory" },
      {} },
    { "RestartProgramInsideHomeByAbsolutePathIsStarted",
      { "file|home/conf.json|{'upgrade':{'new-arrival':{'file-location':'upgrade/new',"
        "'file-desc':'upgrade/desc.json'},'deploy':{'restart':'%R/home/./QuorvelKeeper'}}}" },
      "{}", "", 0,
      { "Info: restart-program '%R/home/./QuorvelKeeper' ok", "!Warning: restart-program*" },
      {} },
    { "LongNameProgramIsStopped",
      { "sleeper|%LTarget|stopped", "sleeper|%LGone|stopped", "file|home/upgrade/new/%LTarget|new" },
      "{'files':['%LTarget'],'files-remove':['%LGone']}", "", 0,
      { "Info: kill %LTarget(*", "Info: kill %LGone(*" },
      { { "%LTarget", "0775 'new'" }, { "%LGone", "absent" } } },
    { "LongNameSparesProcessesWhoseCommandLineDiffers",
      { "sleeper|%L|running", "sleeper|%LOther|running", "file|home/upgrade/new/%LTarget|new" },
      "{'files':['%LTarget']}", "", 0,
      { "!Info: kill ", "!Warning: kill ", "!Warning: just kill" },
      { { "%LTarget", "0775 'new'" } } },
    { "FifteenCharacterNameIsStopped",
      { "sleeper|%L|stopped", "file|home/upgrade/new/%L|new" },
      "{'files':['%L']}", "", 0,
      { "Info: kill %L(*" }, { { "%L", "0775 'new'" } } },
};
// clang-format on

const bool emulated = QString(UPGRADE_EMULATOR).trimmed().size() > 0;
const int runLimitMs = emulated ? 60000 : 15000;

QByteArray bytes(const QString& path) { return QFile::encodeName(path); }

QString linkTarget(const QString& path)
{
    char target[4096];
    const ssize_t size = ::readlink(bytes(path).constData(), target, sizeof target);
    return QFile::decodeName(QByteArray(target, size > 0 ? static_cast<int>(size) : 0));
}

// What a path is, in the notation of the rows: "absent", "dir", "fifo", "socket", "char device",
// "link -> <target>", or a regular file's mode and text (its size when the text is long).
QString describe(const QString& path)
{
    struct stat st { };
    if (::lstat(bytes(path).constData(), &st) != 0)
        return "absent";
    if (S_ISLNK(st.st_mode))
        return "link -> " + linkTarget(path);
    if (S_ISDIR(st.st_mode))
        return "dir";
    if (S_ISFIFO(st.st_mode))
        return "fifo";
    if (S_ISSOCK(st.st_mode))
        return "socket";
    if (!S_ISREG(st.st_mode))
        return "char device";
    const QByteArray mode = QByteArray::number(st.st_mode & 07777, 8).rightJustified(4, '0');
    if (st.st_size > 64)
        return QString("%1 <%2 bytes>").arg(QString::fromLatin1(mode)).arg(st.st_size);
    // Built as bytes: QString::fromUtf8 would drop a byte-order mark at the start of the text.
    return QString::fromUtf8(mode + " '" + readAll(path) + '\'');
}

// Everything that a run must not change in an entry outside home. Access and change times are
// left out: reading a file changes the first, and a package that holds a hard link to the file
// changes the second when the link is moved.
QString entryState(const QString& path)
{
    struct stat st { };
    if (::lstat(bytes(path).constData(), &st) != 0)
        return "absent";
    QString state = QString("mode %1 owner %2:%3 inode %4 size %5 mtime %6.%7")
                        .arg(st.st_mode, 0, 8)
                        .arg(st.st_uid)
                        .arg(st.st_gid)
                        .arg(static_cast<qulonglong>(st.st_ino))
                        .arg(static_cast<qlonglong>(st.st_size))
                        .arg(static_cast<qlonglong>(st.st_mtim.tv_sec))
                        .arg(st.st_mtim.tv_nsec, 9, 10, QChar('0'));
    if (S_ISLNK(st.st_mode))
        state += " -> " + linkTarget(path);
    else if (S_ISREG(st.st_mode))
        state += " data " + QString::fromLatin1(readAll(path).toPercentEncoding(" '{}[]:,/"));
    return state;
}

// A copy of sleep started from home; killed when the row ends, whatever the row left of it.
struct Sleeper {
    pid_t pid = 0;
    bool mustStop = false;
    bool reaped = false;
};

class Sleepers {
public:
    ~Sleepers()
    {
        for (Sleeper& sleeper : list)
            if (!sleeper.reaped) {
                ::kill(sleeper.pid, SIGKILL);
                waitpid(sleeper.pid, nullptr, 0);
            }
    }

    void start(const QString& exe, bool mustStop)
    {
        ASSERT_TRUE(QFile::copy("/bin/sleep", exe)) << s(exe);
        ::chmod(bytes(exe).constData(), 0755);
        const QByteArray path = bytes(exe);
        const pid_t pid = fork();
        if (pid == 0) {
            execl(path.constData(), path.constData(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        list.push_back({ pid, mustStop, false });
        // Once the program runs, its command line begins with its path.
        const QString cmdline = QString("/proc/%1/cmdline").arg(pid);
        for (int i = 0; i < 500 && !readAll(cmdline).startsWith(path + '\0'); ++i)
            usleep(10000);
    }

    // Each sleeper that must stop has ended by SIGTERM; each other one still runs.
    void check()
    {
        for (Sleeper& sleeper : list) {
            int status = 0;
            pid_t ended = waitpid(sleeper.pid, &status, WNOHANG);
            for (int i = 0; sleeper.mustStop && ended == 0 && i < 500; ++i) {
                usleep(10000);
                ended = waitpid(sleeper.pid, &status, WNOHANG);
            }
            sleeper.reaped = ended == sleeper.pid;
            if (sleeper.mustStop)
                EXPECT_TRUE(sleeper.reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
                    << "process " << sleeper.pid << " was not stopped";
            else
                EXPECT_FALSE(sleeper.reaped) << "process " << sleeper.pid << " was stopped";
        }
    }

private:
    std::vector<Sleeper> list;
};

const char keeper[] = "#!/bin/sh\n"
                      "ls -l /proc/self/fd >\"$0.fd.part\" 2>&1\n"
                      "mv \"$0.fd.part\" \"$0.fd\"\n";

class Root {
public:
    Root()
    {
        makeCanary();
        QDir().mkpath(root + "/log");
        QDir().mkpath(home + "/upgrade/new");
        writeFile(home + "/conf.json", doc(conf));
        writeFile(home + "/QuorvelKeeper", keeper, 0755);
    }

    QString fill(QString text) const { return text.replace("%R", root).replace("%L", longName); }
    // Bytes stay bytes: QString would drop a byte-order mark at the start.
    QByteArray fill(QByteArray text) const
    {
        return text.replace("%R", root.toUtf8()).replace("%L", longName.toUtf8());
    }

    void apply(const char* step)
    {
        const QStringList fields = fill(QString::fromUtf8(step)).split('|');
        const QString kind = fields.at(0), path = root + '/' + fields.at(1);
        const QString argument = fields.value(2);
        QDir().mkpath(QFileInfo(path).path());
        ::unlink(bytes(path).constData());
        const QByteArray native = bytes(path);
        if (kind == "file")
            writeFile(path, doc(argument.toUtf8().constData()));
        else if (kind == "link")
            ASSERT_EQ(0, ::symlink(bytes(argument).constData(), native.constData())) << step;
        else if (kind == "hardlink")
            ASSERT_EQ(0, ::link(bytes(argument).constData(), native.constData())) << step;
        else if (kind == "dir")
            ASSERT_TRUE(QDir().mkpath(path)) << step;
        else if (kind == "fifo")
            ASSERT_EQ(0, ::mkfifo(native.constData(), 0644)) << step;
        else if (kind == "socket")
            makeSocket(native);
        else if (kind == "chardev")
            makeDevice(native);
        else if (kind == "nest")
            writeFile(path, QByteArray(argument.toInt(), '['));
        else if (kind == "sparse")
            makeHole(path, argument.toLongLong());
        else if (kind == "sleeper")
            sleepers.start(home + '/' + fields.at(1), argument == "stopped");
        else
            FAIL() << "unknown step: " << step;
    }

    // Every entry under the root but home, the log directory and a new-arrival directory there.
    QStringList outside() const
    {
        static const QRegularExpression ownedByRun("^(home|log|pkg)(/|$)");
        QStringList lines { ". " + entryState(root) };
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next(), name = QDir(root).relativeFilePath(path);
            if (!ownedByRun.match(name).hasMatch())
                lines << name + ' ' + entryState(path);
        }
        lines.sort();
        return lines;
    }

    QTemporaryDir tmp;
    const QString root = QFileInfo(tmp.path()).canonicalFilePath(), home = root + "/home";
    const QString longName = uniqueName("hst") + "long";
    Sleepers sleepers;

private:
    void makeCanary()
    {
        writeFile(root + "/canary/file", "outside file", 0640);
        writeFile(root + "/canary/tool", "outside tool", 0600);
        writeFile(root + "/canary/dir/x", "outside x", 0600);
        writeFile(root + "/canary/dir/y", "outside y", 0644);
        writeFile(root + "/canary/conf/share_notify.json", "outside notify");
        writeFile(root + "/canary/data/share_notify.db", "outside db");
        writeFile(root + "/canary/conf.json", doc(conf));
        writeFile(root + "/canary/desc.json", doc("{'files':['ok.txt']}"));
        ::chmod(bytes(root + "/canary/dir").constData(), 0750);
        EXPECT_EQ(0, ::symlink("file", bytes(root + "/canary/link").constData()));
    }

    static void makeDevice(const QByteArray& path)
    {
        if (::mknod(path.constData(), S_IFCHR | 0644, makedev(1, 3)) != 0)
            GTEST_SKIP() << "mknod refused: " << std::strerror(errno);
    }

    // A file of |size| zero bytes that takes no room on the disk.
    static void makeHole(const QString& path, qint64 size)
    {
        writeFile(path, {});
        ASSERT_EQ(0, ::truncate(bytes(path).constData(), off_t(size))) << s(path);
    }

    static void makeSocket(const QByteArray& path)
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        ASSERT_LT(static_cast<size_t>(path.size()), sizeof address.sun_path);
        std::memcpy(address.sun_path, path.constData(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::close(fd);
        ASSERT_EQ(0, bound) << std::strerror(errno);
    }
};

struct Outcome {
    bool finished = false;
    int code = -1;
    QString log, err;
};

// Runs the deployer, through the emulator of a cross build, and kills it after the time limit.
Outcome deploy(const Root& r, const QString& arguments)
{
    QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
    command << UPGRADE_DEPLOY_BIN << "-homedir=" + r.home
            << r.fill(arguments).split(' ', Qt::SkipEmptyParts);
    QProcess process;
    process.setWorkingDirectory(r.root);
    process.start(command.takeFirst(), command);
    Outcome run;
    run.finished = process.waitForFinished(runLimitMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit)
        run.code = process.exitCode();
    run.log = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    for (const QFileInfo& log : QDir(r.root + "/log").entryInfoList({ "*.log" }, QDir::Files))
        run.log += QString::fromUtf8(readAll(log.filePath()));
    return run;
}

// Exact, or with "*" standing for any text.
bool matches(const QString& line, const QString& expected)
{
    if (!expected.contains('*'))
        return line == expected;
    const QString pattern = QRegularExpression::escape(expected).replace("\\*", ".*");
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(line).hasMatch();
}

// The log is one event a line, each of a known kind; one "Error: " line tells a failed run.
void checkLog(const Row& row, const Root& r, const Outcome& run)
{
    static const QStringList kinds { "State: ", "Info: ", "Warning: ", "Error: ", "Debug: ",
        "HomeDir: ", "appName: ", "NewFileLoc: '", "NewFileDesc: '", "Restart-ProgName: '",
        "NewFileCount: ", "NewFile: ", "RemoveFileCount: ", "RemoveFile: " };
    QStringList lines;
    for (const QString& line : run.log.split('\n', Qt::SkipEmptyParts))
        if (!endedDuringWalk(line))
            lines << line;
    int errors = 0;
    for (const QString& line : lines) {
        errors += line.startsWith("Error: ");
        EXPECT_TRUE(std::any_of(
            kinds.begin(), kinds.end(), [&](const QString& kind) { return line.startsWith(kind); }))
            << "line of no known kind: " << s(line);
    }
    EXPECT_EQ(row.exitCode == 0 ? 0 : 1, errors) << "lines starting with \"Error: \"";
    for (const char* text : row.log) {
        const QString expected = r.fill(QString::fromUtf8(text));
        const bool forbidden = expected.startsWith('!');
        const auto found = std::find_if(lines.begin(), lines.end(),
            [&](const QString& line) { return matches(line, expected.mid(forbidden ? 1 : 0)); });
        if (forbidden)
            EXPECT_TRUE(found == lines.end()) << "unexpected line: " << s(*found);
        else
            EXPECT_TRUE(found != lines.end()) << "missing line: " << s(expected);
    }
}

// A keeper the run started must not have inherited the log file.
void checkKeeper(const Root& r, const Outcome& run)
{
    if (!run.log.contains("'(by keeper) ok"))
        return;
    const QString record = r.home + "/QuorvelKeeper.fd";
    for (int i = 0; i < (emulated ? 3000 : 1000) && !QFile::exists(record); ++i)
        usleep(10000);
    const QString fds = QString::fromUtf8(readAll(record));
    EXPECT_FALSE(fds.isEmpty()) << "the keeper left no record";
    EXPECT_FALSE(fds.contains(r.root + "/log")) << s(fds);
}

// The lines that only |before| ("- ") or only |after| ("+ ") holds.
std::string changes(const QStringList& before, const QStringList& after)
{
    QString text;
    for (const QString& line : before)
        if (!after.contains(line))
            text += "- " + line + '\n';
    for (const QString& line : after)
        if (!before.contains(line))
            text += "+ " + line + '\n';
    return s(text);
}

// What stands at |path| and which inode it is: a file put in place there changes one or the other.
QString stateWithInode(const QString& path)
{
    struct stat st { };
    const bool there = ::lstat(bytes(path).constData(), &st) == 0;
    return describe(path) + (there ? " #" + QString::number(st.st_ino) : QString());
}

// The paths, relative to the home directory the log names, that "-check" says the run installs or
// replaces; none where it also tells a failure that stops the whole upgrade (no room; any file of
// an all-or-nothing upgrade).
QStringList checkedPaths(const Outcome& check, bool allOrNothing, QString& homeDir)
{
    static const QRegularExpression move("^Check: (install|replace) '(.*)' (from|with) '");
    QStringList paths;
    for (const QString& line : check.log.split('\n')) {
        if (line.startsWith("HomeDir: "))
            homeDir = line.mid(9);
        const QRegularExpressionMatch found = move.match(line);
        if (found.hasMatch())
            paths << found.captured(2).mid(homeDir.size() + 1);
        if (line.startsWith("Check: fail: not enough space")
            || (allOrNothing && line.startsWith("Check: fail: '")))
            return {};
    }
    return paths;
}

// A path as the file system names it, from the log's form (control characters escaped).
QString fromLogForm(const QString& text)
{
    QString path;
    for (int i = 0; i < text.size(); ++i) {
        const QChar next = i + 1 < text.size() ? text.at(i + 1) : QChar();
        if (text.at(i) != '\\' || !QString("nrtx").contains(next)) {
            path += text.at(i);
            continue;
        }
        path += next == 'n' ? QChar('\n')
            : next == 'r'   ? QChar('\r')
            : next == 't'   ? QChar('\t')
                            : QChar(text.mid(i + 2, 2).toUShort(nullptr, 16));
        i += next == 'x' ? 3 : 1;
    }
    return path;
}

// Every path the description lists to put in place.
QStringList listedPaths(const Row& row, const Root& r)
{
    QStringList paths;
    const QJsonObject desc
        = QJsonDocument::fromJson(r.fill(doc(row.description ? row.description : "{}"))).object();
    for (const QJsonValue& entry : desc.value("files").toArray())
        paths << entry.toString();
    for (const QJsonValue& entry : desc.value("files-ex").toArray())
        paths << entry.toObject().value("path").toString();
    return paths;
}

// The dry run and the real run decide with the same plan: before the real run, "-check" must name
// exactly the files the real run then puts in place. A path is put in place when what stands there,
// or its inode, changed.
class PlanAgreement {
public:
    PlanAgreement(const Row& row, const Root& r)
        : m_applies(!QByteArray(row.arguments).contains("-check")
            && !QByteArray(row.arguments).contains("-commit")
            && !QByteArray(row.arguments).contains("-rollback"))
    {
        if (!m_applies)
            return;
        const bool allOrNothing
            = row.description && QByteArray(row.description).contains("'all-or-nothing':true");
        // The dry run tells its plan on the standard output: the log file is the real run's.
        const QString arguments
            = QString::fromUtf8(row.arguments).remove(QRegularExpression("-out=\\S*"));
        const Outcome check = deploy(r, arguments + " -check");
        m_checked = checkedPaths(check, allOrNothing, m_home);
        for (QString& path : m_checked)
            path = fromLogForm(path);
        for (const QString& path : m_checked + listedPaths(row, r))
            m_before.insert(path, stateWithInode(m_home + '/' + path));
    }

    void expectAgreement() const
    {
        if (!m_applies)
            return;
        QStringList landed, checked = m_checked;
        for (auto it = m_before.begin(); it != m_before.end(); ++it)
            if (it.value() != stateWithInode(m_home + '/' + it.key()))
                landed << it.key();
        checked.sort();
        landed.sort();
        EXPECT_EQ(s(checked.join('\n')), s(landed.join('\n'))) << "-check against the real run";
    }

private:
    bool m_applies;
    QString m_home;
    QStringList m_checked;
    QHash<QString, QString> m_before;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class Hostile : public testing::TestWithParam<Row> { };

TEST_P(Hostile, StaysInsideHomeAndTellsWhy)
{
    const Row& row = GetParam();
    Root r;
    if (row.description)
        writeFile(r.home + "/upgrade/desc.json", r.fill(doc(row.description)));
    for (const char* step : row.steps) {
        r.apply(step);
        if (HasFatalFailure() || IsSkipped())
            return;
    }
    const QStringList before = r.outside();
    const PlanAgreement plan(row, r);

    const Outcome run = deploy(r, QString::fromUtf8(row.arguments));
    ASSERT_TRUE(run.finished) << "the run was killed after " << runLimitMs << " ms\n" << s(run.log);
    SCOPED_TRACE("log:\n" + s(QString(run.log + run.err).replace(r.root, "%R")));
    EXPECT_EQ(row.exitCode, run.code);
    checkLog(row, r, run);
    for (const auto& [path, state] : row.home)
        EXPECT_EQ(s(r.fill(QString::fromUtf8(state))),
            s(describe(r.home + '/' + r.fill(QString::fromUtf8(path)))))
            << "home/" << path;
    r.sleepers.check();
    checkKeeper(r, run);
    EXPECT_EQ("", changes(before, r.outside())) << "the tree outside home changed";
    plan.expectAgreement();
}

INSTANTIATE_TEST_SUITE_P(Rows, Hostile, testing::ValuesIn(rows),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

} // namespace
