// The two document loaders, deploying and removing one file and stopping the processes that run
// it, all against real files in temporary directories and real helper processes.
#include "UpgradeCommon.h"
#include "UpgradeDeploy.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace testsupport;

template <class F> std::string captured(F&& call)
{
    std::ostringstream out;
    std::streambuf* old = std::cout.rdbuf(out.rdbuf());
    call();
    std::cout.rdbuf(old);
    return out.str();
}

// Expected texts name the directories of a case as %H (home as given), %N (new-file location)
// and %R (the temporary root).
QString fill(
    const char* text, const QString& home, const QString& newLoc = {}, const QString& root = {})
{
    return QString::fromUtf8(text).replace("%H", home).replace("%N", newLoc).replace("%R", root);
}

// Documents are written with single quotes to keep the tables readable.
QByteArray doc(const char* text) { return QByteArray(text).replace('\'', '"'); }

struct stat statOf(const QString& path)
{
    struct stat st { };
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// The loaders run as if the device's locale were Latin-1: documents must still be read as UTF-8.
// Qt 6 has no settable locale codec and its text streams always decode UTF-8, so there the
// loaders run in the machine's own locale.
template <class Case> class Loader : public testing::TestWithParam<Case> {
protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void SetUp() override { QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1")); }
    void TearDown() override { QTextCodec::setCodecForLocale(nullptr); }
#endif
    QTemporaryDir tmp;
};

// A loader case: the document (none when null), the outcome and the members or lists it leaves.
struct Row {
    const char *doc, *out, *lists;
};
void PrintTo(const Row& row, std::ostream* out) { *out << (row.doc ? row.doc : "no document"); }

// A case's expected log ends with "ok" or "fail: " + errorMsg; %H is the home directory.
std::string outcome(const std::string& log, bool ok, const QString& error)
{
    return log + (ok ? "ok" : "fail: " + s(error));
}

#define LOADED "Info: conf.json loaded\n"
#define PARSED LOADED "Info: conf.json parsed\n"
#define UP(x) "{'upgrade':{" x "}}"
#define LD(loc, desc) "{'upgrade':{'new-arrival':{'file-location':" loc ",'file-desc':" desc "}"
#define NO(key) "fail: no setting '" key "' in 'conf.json'"

// conf, outcome, newFileLoc|newFileDesc|restartProgName. A conf text after a leading "/" is read
// with the home directory given with a trailing "/".
const Row configCases[] = {
    { LD("'upgrade/new'", "'upgrade/new/files.json'") ",'deploy':{'restart':'bin/app'}}}",
        PARSED "NewFileLoc: '%H/upgrade/new/'\nNewFileDesc: '%H/upgrade/new/files.json'\n"
               "Restart-ProgName: '%H/bin/app'\nok",
        "%H/upgrade/new/|%H/upgrade/new/files.json|%H/bin/app" },
    { nullptr, "fail: open '%H/conf.json' failed: No such file or directory", "||" },
    { "{'upgrade':{", LOADED "fail: parse 'conf.json' failed", "||" },
    { "{'upgrade':null}", LOADED NO("upgrade"), "||" },
    { "{'Upgrade':{}}", LOADED NO("upgrade"), "||" },
    { "{'upgrade':[]}", LOADED "fail: setting 'upgrade' format error", "||" },
    { UP("'new-arrival':1"), PARSED "fail: setting 'upgrade.new-arrival' format error", "||" },
    { LD("null", "'d'") "}}}", PARSED NO("upgrade.new-arrival.file-location"), "||" },
    { LD("''", "'d'") "}}}", PARSED "fail: 'upgrade.new-arrival.file-location' is empty", "||" },
    { LD("{}", "'d'") "}}}", PARSED "fail: 'upgrade.new-arrival.file-location' is empty", "||" },
    { LD("'/mnt/new'", "null") "}}}",
        PARSED "NewFileLoc: '/mnt/new/'\n" NO("upgrade.new-arrival.file-desc"), "/mnt/new/||" },
    { LD("'/'", "''") ",'deploy':'x'}}",
        PARSED "NewFileLoc: '/'\nNewFileDesc: '%H/'\nfail: setting 'upgrade.deploy' format error",
        "/|%H/|" },
    { "/" LD("'new'", "'/d.json'") "}}}",
        PARSED "NewFileLoc: '%H//new/'\nNewFileDesc: '/d.json'\n"
               "Warning: no setting 'upgrade.deploy' in 'conf.json'\nok",
        "%H//new/|/d.json|" },
    { LD("'n\xC3\xA9/'", "'d'") ",'deploy':{'restart':null}}}",
        PARSED "NewFileLoc: '%H/n\xC3\xA9/'\nNewFileDesc: '%H/d'\n"
               "Warning: no setting 'upgrade.deploy.restart' in 'conf.json'\nok",
        "%H/n\xC3\xA9/|%H/d|" },
    { "\xEF\xBB\xBF" LD("'neu/\xC3\xBC'", "'d'") ",'deploy':{'restart':''}}}",
        PARSED "NewFileLoc: '%H/neu/\xC3\xBC/'\nNewFileDesc: '%H/d'\nRestart-ProgName: '%H/'\nok",
        "%H/neu/\xC3\xBC/|%H/d|%H/" }
};

using LoadConfig = Loader<Row>;

TEST_P(LoadConfig, ReadsSettingsAndReportsEachFailure)
{
    const char* conf = GetParam().doc;
    const bool slash = conf && conf[0] == '/';
    if (conf)
        writeFile(tmp.path() + "/conf.json", doc(conf + slash));
    TUpgradeDeploy deploy;
    deploy.homeDir = tmp.path() + (slash ? "/" : "");
    deploy.errorMsg = "stale";
    bool ok = false;
    const std::string log = captured([&] { ok = deploy.loadConfig(); });
    EXPECT_EQ(outcome(log, ok, deploy.errorMsg), s(fill(GetParam().out, tmp.path())));
    EXPECT_EQ(s(deploy.newFileLoc + '|' + deploy.newFileDesc + '|' + deploy.restartProgName),
        s(fill(GetParam().lists, tmp.path())));
}
INSTANTIATE_TEST_SUITE_P(Documents, LoadConfig, testing::ValuesIn(configCases));

#define DLOADED "Info: file-desc loaded\n"

// document, outcome, records (path[@modified-time],...);removal list
const Row descCases[] = {
    { "{'files':['bin/app','lib/libcore.so'],'files-ex':[{'path':'share/\xC3\xA4pp.conf',"
      "'modified-time':'2013-05-17 14:02:00'}],'files-remove':['lib/libold.so']}",
        DLOADED "ok",
        "bin/app,lib/libcore.so,share/\xC3\xA4pp.conf@2013-05-17 14:02:00;lib/libold.so" },
    { nullptr, "Warning: file '%H/files.json'  not exists\nfail: ", ";" },
    { "{'files':[", DLOADED "fail: parse '%H/files.json' failed", ";" },
    { "['files']", DLOADED "ok", ";" }, { "{'error-msg':null,'files':['a']}", DLOADED "ok", "a;" },
    { "{'error-msg':'','files-remove':['r']}", DLOADED "ok", ";r" },
    { "{'error-msg':7,'files':['a']}", DLOADED "fail: 7", ";" },
    { "{'files':[{},'a',null]}", DLOADED "ok", ",a,;" },
    { "{'files-ex':['s',{'path':''},{'path':null},{'x':1},{'path':'p','modified-time':"
      "'2013-05-17T14:02:00'},{'path':'q','modified-time':'17.05.2013 14:02:00'}]}",
        DLOADED "ok", "p,q;" },
    { "{'files-ex':[{'path':'a'}],'files':['a','b']}", DLOADED "ok", "a,b,a;" },
    { "{'files':'s','files-ex':'t'}", DLOADED "fail: setting 'files' format error", ";" },
    { "{'files':['k'],'files-ex':{}}", DLOADED "fail: setting 'files-ex' format error", "k;" },
    { "{'files-remove':'r'}", DLOADED "fail: setting 'files-remove' format error", ";" },
    { "{'files-remove':['a',3,'a'],'files':[]}", DLOADED "ok", ";a,3,a" },
    { "\xEF\xBB\xBF{'files':['bin/\xC3\xBC']}", DLOADED "ok", "bin/\xC3\xBC;" }
};

using LoadDeployFiles = Loader<Row>;

TEST_P(LoadDeployFiles, ListsFilesInDocumentOrder)
{
    const char* desc = GetParam().doc;
    TUpgradeDeploy deploy;
    deploy.newFileDesc = tmp.path() + "/files.json";
    if (desc)
        writeFile(deploy.newFileDesc, doc(desc));
    deploy.errorMsg = "stale";
    QList<TReadyFile> files;
    QStringList paths, removes;
    bool ok = false;
    const std::string log = captured([&] { ok = deploy.loadDeployFiles(files, removes); });
    EXPECT_EQ(outcome(log, ok, deploy.errorMsg), s(fill(GetParam().out, tmp.path())));
    for (const TReadyFile& file : files)
        paths << file.path
                + (file.modifiedTime.isValid() ? '@' + file.modifiedTime.toString(timeFormat) : "");
    EXPECT_EQ(s(paths.join(',') + ';' + removes.join(',')), GetParam().lists);
}
INSTANTIATE_TEST_SUITE_P(Documents, LoadDeployFiles, testing::ValuesIn(descCases));

// Setup items under a temporary root: "file=content", "dir/", or "@time" for the record's
// modified-time. Checks: "file=content" or "file-" (absent). "home" is the home directory, "new"
// the new-file location, and "~home" the home directory relative to the working directory. The
// outcome is the log followed by deploy's text, or by removeWithKill's result for 'r' rows.
const struct {
    char op;
    const char *home, *path, *setup, *out, *checks;
} fileCases[] = { { 'd', "home", "a/b/c.txt", "new/a/b/c.txt=N", "",
                      "home/a/b/c.txt=N new/a/b/c.txt-" },
    { 'd', "home", "c/x", "home/c/x=O home/c/x.tmp=S new/c/x=N", "", "home/c/x=N home/c/x.tmp-" },
    { 'd', "home", "d.txt", "home/d.txt.tmp=S new/d.txt=N", "", "home/d.txt=N home/d.txt.tmp-" },
    { 'd', "home", "t.txt", "new/t.txt=N @2013-05-17T14:02:00", "", "home/t.txt=N" },
    { 'd', "home", "m.txt", "home/m.txt=O", "'%N/m.txt' not exists", "home/m.txt=O" },
    { 'd', "home", "f/x", "home/f=F new/f/x=N", "create directory '%R/home/f' failed", "home/f=F" },
    { 'd', "home", "k.txt", "home/k.txt=O home/k.txt.tmp/f=S new/k.txt=N",
        "remove '%H/k.txt.tmp' failed", "home/k.txt=O new/k.txt=N" },
    { 'd', "home", "w.txt", "home/w.txt.tmp/f=S new/w.txt=N",
        "Warning: remove '%H/w.txt.tmp' failed\n", "home/w.txt=N" },
    { 'd', "home", "", "home/.tmp=S new/x=N", "file path is empty", "home/.tmp=S" },
    { 'd', "home", "../x", "x=O home/", "'../x' is outside the home directory", "x=O x.tmp-" },
    { 'd', "home", "a/../../x", "x=O home/a/", "'a/../../x' is outside the home directory",
        "x=O x.tmp-" },
    { 'd', "home", "/../x", "x=O home/", "'/../x' is outside the home directory", "x=O x.tmp-" },
    { 'd', "home", "/lead.txt", "new/lead.txt=N", "", "home/lead.txt=N" },
    // The new file is a directory that holds the home directory, so moving it in fails after the
    // backup was made: the installed file must be put back.
    { 'd', "new/p.dat/home", "p.dat", "new/p.dat/home/p.dat=O", "move '%N/p.dat' to '%H' failed",
        "new/p.dat/home/p.dat=O new/p.dat/home/p.dat.tmp-" },
    { 'r', "home", "gone.so", "home/", "false", "" },
    { 'r', "home", "lib.so", "home/lib.so=O", "true", "home/lib.so-" },
    { 'r', "home", "", "home/.tmp=S", "false", "home/.tmp=S" },
    { 'r', "home", "../x", "x=O home/", "false", "x=O" },
    { 'r', "home", "a/../../x", "x=O home/a/", "false", "x=O" },
    { 'r', "home", "/../x", "x=O home/", "false", "x=O" },
    { 'r', "home", "/l.so", "home/l.so=O", "true", "home/l.so-" } };

struct Tree {
    QTemporaryDir tmp;
    QString root = tmp.path(), newLoc = root + "/new/";
    QString home(const char* where) const
    {
        return where[0] == '~' ? QDir::current().relativeFilePath(root + '/' + (where + 1))
                               : root + '/' + where;
    }
};

TEST(FileOps, DeployAndRemoveChangeOnlyWhatTheyMay)
{
    for (const auto& c : fileCases) {
        SCOPED_TRACE(std::string(c.path) + " / " + c.setup);
        Tree tree;
        const QString home = tree.home(c.home);
        TReadyFile record(c.path);
        for (const QString& item : QString(c.setup).split(' ', Qt::SkipEmptyParts)) {
            if (item.startsWith('@'))
                record.modifiedTime = QDateTime::fromString(item.mid(1), Qt::ISODate);
            else if (item.endsWith('/'))
                QDir().mkpath(tree.root + '/' + item);
            else
                writeFile(tree.root + '/' + item.section('=', 0, 0), item.section('=', 1).toUtf8());
        }
        QString result;
        const std::string log = captured([&] {
            result = c.op == 'r' ? QString(record.removeWithKill(home) ? "true" : "false")
                                 : record.deploy(tree.newLoc, home);
        });
        EXPECT_EQ(log + s(result), s(fill(c.out, home, tree.newLoc, tree.root)));
        // Before the checks below read the file and so move its access time.
        if (record.modifiedTime.isValid()) {
            const struct stat st = statOf(home + '/' + c.path);
            EXPECT_EQ(st.st_mtime, record.modifiedTime.toSecsSinceEpoch());
            EXPECT_LE(std::abs(std::time(nullptr) - st.st_atime), 5);
        }
        for (const QString& check : QString(c.checks).split(' ', Qt::SkipEmptyParts)) {
            const QString file = tree.root + '/' + check.section('=', 0, 0);
            if (check.endsWith('-'))
                EXPECT_FALSE(QFileInfo::exists(file.chopped(1))) << s(check);
            else
                EXPECT_EQ(readAll(file).toStdString(), s(check.section('=', 1))) << s(check);
        }
    }
}

TEST(FileOps, ExecutableModeFollowsThePlaceHoweverHomeIsWritten)
{
    const struct {
        const char *home, *path;
        unsigned mode;
    } cases[] = { { "home", "utqapp", 0775 }, { "home", "lib.so", 0775 },
        { "home", "run.sh", 0775 }, { "home", "lib.so.1", 0644 }, { "home", "x.SO", 0644 },
        { "home", "conf/a.sh", 0644 }, { "home", "ext/p.dat", 0775 },
        { "home", "upgrade/q/r.txt", 0775 }, { "home/", "utqapp", 0775 }, { "home/", "l.so", 0775 },
        { "~home", "l.sh", 0775 }, { "~home", "ext/e.txt", 0775 }, { "~home", "x.txt", 0644 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.home) + " " + c.path);
        Tree tree;
        writeFile(tree.newLoc + c.path, "N");
        TReadyFile record(c.path);
        EXPECT_EQ(s(record.deploy(tree.newLoc, tree.home(c.home))), "");
        EXPECT_EQ(statOf(tree.root + "/home/" + c.path).st_mode & 07777, c.mode);
    }
}

// A copy of /bin/sleep under a name that no other process bears.
QString helperProgram(const QString& dir)
{
    const QString exe = dir + '/' + uniqueName("utq");
    QFile::copy("/bin/sleep", exe);
    ::chmod(QFile::encodeName(exe).constData(), 0755);
    return exe;
}

pid_t spawn(const QString& exe) { return startNamed(exe, "10"); }

// Drops the warnings about processes that ended while the real process table was walked.
std::string settled(const std::string& log)
{
    std::istringstream in(log);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (!endedDuringWalk(QString::fromStdString(line)))
            kept += line + '\n';
    return kept;
}

int endSignal(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST(Terminate, SignalsEveryProcessOfTheExactName)
{
    QTemporaryDir dir;
    const QString exe = helperProgram(dir.path()), name = QFileInfo(exe).fileName();
    const pid_t pids[] = { spawn(exe), spawn(exe) };
    TReadyFile record;
    int count = -2;
    EXPECT_EQ(settled(captured([&] { count = record.terminate(name.toUpper()); })), "");
    EXPECT_EQ(count, 0);
    const std::string log = settled(captured([&] { count = record.terminate("bin/" + name); }));
    EXPECT_EQ(count, 2);
    std::string lines[2];
    for (int i = 0; i < 2; ++i)
        lines[i] = "Info: kill " + s(name) + '(' + std::to_string(pids[i]) + ") ok\n";
    EXPECT_TRUE(log == lines[0] + lines[1] || log == lines[1] + lines[0]) << log;
    for (pid_t pid : pids)
        EXPECT_EQ(endSignal(pid), SIGTERM);

    // Removing a program under ext/ stops it first and waits once.
    const QString home = dir.path() + "/home";
    writeFile(home + "/ext/" + name, "O");
    const pid_t pid = spawn(exe);
    TReadyFile file("ext/" + name);
    bool removed = false;
    EXPECT_EQ(settled(captured([&] { removed = file.removeWithKill(home); })),
        "Info: kill " + s(name) + '(' + std::to_string(pid)
            + ") ok\nWarning: just kill the process, sleep 1 second\n");
    EXPECT_TRUE(removed);
    EXPECT_FALSE(QFileInfo::exists(home + "/ext/" + name));
    EXPECT_EQ(endSignal(pid), SIGTERM);
}

TEST(Terminate, WalksAProcessTableAndReportsEveryOddEntry)
{
    // The first letter of an entry is its kind: d = directory with status, n = directory without
    // status, f = file, l = symlink to a directory with status. No pid here exists, so every
    // matching entry gets a kill warning.
    const QByteArray self = "d" + QByteArray::number(static_cast<qlonglong>(getpid()));
    const struct {
        const char *entry, *status, *log;
    } cases[] = { { "d99999999", "Name:\tutqx\n",
                      "Warning: kill utqx(99999999) failed(3,No such process)\n" },
        { "d99999999", "Name:\tutqx:tail\n",
            "Warning: kill utqx(99999999) failed(3,No such process)\n" },
        { "d99999999", "Name:\tother:utqx\n", "" }, { "d99999999", "Name:\tUTQX\n", "" },
        { "d99999999", "Name:\n", "" },
        { "d99999999", "garbage\n", "Warning: format error, 'garbage\n'\n" },
        { "d99999999", "", "Warning: format error, ''\n" },
        { "n99999999", "", "Warning: open failed, No such file or directory\n" },
        { self.constData(), "Name:\tutqx\n", "" }, { "d0", "Name:\tutqx\n", "" },
        { "dx99999999", "Name:\tutqx\n", "" }, { "f99999999", "Name:\tutqx\n", "" },
        { "l99999999", "Name:\tutqx\n", "" } };
    // Should this process be signalled after all, it survives to report it.
    const auto oldHandler = std::signal(SIGTERM, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + " " + c.status);
        QTemporaryDir proc;
        const QString entry = proc.path() + '/' + (c.entry + 1);
        const char kind = c.entry[0];
        if (kind == 'd' || kind == 'n')
            QDir().mkpath(entry);
        if (kind == 'd' || kind == 'f')
            writeFile(kind == 'd' ? entry + "/status" : entry, c.status);
        if (kind == 'l') {
            writeFile(proc.path() + "/target/status", c.status);
            QFile::link(proc.path() + "/target", entry);
        }
        TReadyFile record;
        int count = -2;
        EXPECT_EQ(captured([&] { count = record.terminate("bin/utqx", proc.path()); }), c.log);
        EXPECT_EQ(count, 0);
    }
    std::signal(SIGTERM, oldHandler);

    QTemporaryDir proc;
    TReadyFile record;
    int count = 0;
    EXPECT_EQ(captured([&] { count = record.terminate("utqx", proc.path() + "/none"); }),
        s("Warning: open " + proc.path() + "/none failed(2,No such file or directory)\n"));
    EXPECT_EQ(count, -1);
}

} // namespace
