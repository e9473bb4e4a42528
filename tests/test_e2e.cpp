// The built programs run end to end. Each directory under data/e2e is one case:
//   root/     the tree the run starts from (names and texts may hold %R, %S and %D);
//   run       what to do, one step a line: "sleeper" starts a copy of sleep named %S in
//             root/home, "self" runs the deployer as a copy named %D, and
//             "deploy <working dir under root> <argument>..." runs it once;
//   expected  the whole transcript: each run's log and exit status, the logs written with
//             "-out=" (root/*.log), the tree afterwards and every record the stand-ins left.
// %R is the temporary root, %S and %D the unique names, %P the sleeper's pid. The restart stand-ins
// (QuorvelKeeper, QuorvelService, QuorvelBox, tools/restart.sh) record their working directory and
// arguments in <name>.rec. UPGRADE_E2E_UPDATE=1 rewrites the expected files from what the runs do.
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace {

const QString caseRoot = QStringLiteral(UPGRADE_TEST_DATA_DIR "/e2e");
const QString timeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");
// Every file of a case starts with this time, so that the tree shows which ones were changed.
const QDateTime fixtureTime = QDateTime::fromString("2001-02-03 04:05:06", timeFormat);

const char recorder[] = "#!/bin/sh\n"
                        "{ pwd -P; for a in \"$@\"; do echo \"[$a]\"; done; } >\"$0.rec.part\"\n"
                        "mv \"$0.rec.part\" \"$0.rec\"\n";

std::string s(const QString& text) { return text.toStdString(); }

QString uniqueName(const char* prefix)
{
    return prefix + QString("%1").arg(std::random_device()(), 8, 16, QChar('0'));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& data, mode_t mode)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << s(path);
    file.write(data);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

void setTime(const QString& path, const QDateTime& time)
{
    const time_t seconds = static_cast<time_t>(time.toSecsSinceEpoch());
    const utimbuf times { seconds, seconds };
    ::utime(QFile::encodeName(path).constData(), &times);
}

struct Result {
    int code = -1;
    QString out, err;
};

// Runs a built program, through the emulator of a cross build.
Result run(const QString& program, const QStringList& arguments, const QString& workingDir)
{
    QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
    command << program << arguments;
    QProcess process;
    process.setWorkingDirectory(workingDir);
    process.start(command.takeFirst(), command);
    Result result;
    if (!process.waitForFinished(120000))
        return result;
    if (process.exitStatus() == QProcess::NormalExit)
        result.code = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// One case's temporary root and the unique names its files speak of.
class Case {
public:
    explicit Case(const QString& name)
        : dir(caseRoot + '/' + name)
    {
        copyTree(dir + "/root", root);
        for (const char* stand :
            { "QuorvelKeeper", "QuorvelService", "QuorvelBox", "tools/restart.sh" }) {
            writeAll(home + '/' + stand, recorder, 0755);
            setTime(home + '/' + stand, fixtureTime);
        }
    }

    QString transcript()
    {
        QString text;
        for (const QString& line : QString::fromUtf8(readAll(dir + "/run")).split('\n')) {
            const QStringList words = substitute(line).split(' ', Qt::SkipEmptyParts);
            if (words.value(0) == "sleeper")
                startSleeper();
            else if (words.value(0) == "self")
                program = copyOfDeployer();
            else if (words.value(0) == "deploy")
                text += deploy(words.value(1), words.mid(2));
        }
        if (sleeper > 0) {
            int status = 0;
            waitpid(sleeper, &status, 0);
            text += QString("--- sleeper ended by signal %1\n")
                        .arg(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        }
        for (const QString& log : QDir(root).entryList({ "*.log" }, QDir::Files, QDir::Name))
            text += "--- " + log + '\n' + normalized(QString::fromUtf8(readAll(root + '/' + log)));
        waitForRecords(text);
        return text + "--- tree\n" + tree() + records();
    }

    const QString dir;
    QTemporaryDir tmp, programDir;
    const QString root = QFileInfo(tmp.path()).canonicalFilePath(), home = root + "/home";
    const QString sleeperName = uniqueName("uts"), selfName = uniqueName("utd");
    QString program = UPGRADE_DEPLOY_BIN;
    pid_t sleeper = 0;

private:
    QString substitute(QString text) const
    {
        return text.replace("%R", root).replace("%S", sleeperName).replace("%D", selfName);
    }

    void copyTree(const QString& from, const QString& to)
    {
        QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString source = it.next();
            const QString target = to + '/' + substitute(QDir(from).relativeFilePath(source));
            writeAll(target, substitute(QString::fromUtf8(readAll(source))).toUtf8(), 0644);
            setTime(target, fixtureTime);
        }
    }

    // A copy of sleep under a name no other process bears, running in the home directory.
    void startSleeper()
    {
        const QString exe = home + '/' + sleeperName;
        ASSERT_TRUE(QFile::copy("/bin/sleep", exe));
        setTime(exe, fixtureTime);
        const QByteArray path = QFile::encodeName(exe);
        sleeper = fork();
        if (sleeper == 0) {
            execl(path.constData(), path.constData(), "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        const QByteArray name = "Name:\t" + sleeperName.toLatin1() + '\n';
        for (int i = 0;
             i < 500 && readAll(QString("/proc/%1/status").arg(sleeper)).left(name.size()) != name;
             ++i)
            usleep(10000);
    }

    QString copyOfDeployer()
    {
        const QString copy = programDir.path() + '/' + selfName;
        QFile::copy(UPGRADE_DEPLOY_BIN, copy);
        return copy;
    }

    QString deploy(const QString& workingDir, const QStringList& arguments)
    {
        const Result result = run(program, arguments, root + '/' + workingDir);
        return normalized(result.out) + QString("exit %1\n").arg(result.code);
    }

    // The start time goes, and so do the warnings about processes that ended while the deployer
    // walked the machine's process table.
    QString normalized(const QString& log) const
    {
        static const QRegularExpression start(
            "^State: Start, \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$");
        static const QRegularExpression race(
            "^Warning: (stat '/proc/\\d+' failed|open failed|format error, '')");
        QString kept;
        for (QString line : log.split('\n', Qt::SkipEmptyParts)) {
            if (race.match(line).hasMatch())
                continue;
            if (start.match(line).hasMatch())
                line = "State: Start, <time>";
            kept += line + '\n';
        }
        return placeholders(kept);
    }

    QString placeholders(QString text) const
    {
        text.replace(root, "%R").replace(sleeperName, "%S").replace(selfName, "%D");
        return sleeper > 0 ? text.replace(QString("(%1)").arg(sleeper), "(%P)") : text;
    }

    // Directories, then each file with its mode, modification time and short text content.
    QString tree() const
    {
        QStringList lines;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            const QString name = QDir(root).relativeFilePath(info.filePath());
            if (info.isDir()) {
                lines << name + '/';
                continue;
            }
            if (name.contains(".rec") || name.endsWith(".log"))
                continue;
            struct stat st { };
            ::lstat(QFile::encodeName(info.filePath()).constData(), &st);
            const QByteArray data = readAll(info.filePath());
            const QString text = QString::fromUtf8(data).chopped(data.endsWith('\n') ? 1 : 0);
            lines << QString("%1 %2 %3 %4")
                         .arg(name)
                         .arg(st.st_mode & 07777, 4, 8, QChar('0'))
                         .arg(info.lastModified().toString(timeFormat),
                             data.size() <= 64 && !text.contains('\n')
                                 ? text
                                 : QString("<%1 bytes>").arg(data.size()));
        }
        lines.sort();
        return placeholders(lines.join('\n') + '\n');
    }

    QStringList recordFiles() const
    {
        QStringList found;
        QDirIterator it(root, { "*.rec" }, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        found.sort();
        return found;
    }

    // The stand-ins run detached: waits for a record from every start that |logs| report.
    void waitForRecords(const QString& logs) const
    {
        static const QRegularExpression started(
            "^Info: restart.* ok$", QRegularExpression::MultilineOption);
        int starts = 0;
        for (auto it = started.globalMatch(logs); it.hasNext(); it.next())
            ++starts;
        for (int i = 0; i < 3000 && recordFiles().size() < starts; ++i)
            usleep(10000);
    }

    QString records() const
    {
        QString text;
        for (const QString& path : recordFiles())
            text += "--- " + path + '\n' + QString::fromUtf8(readAll(path));
        return placeholders(text);
    }
};

class EndToEnd : public testing::TestWithParam<std::string> { };

TEST_P(EndToEnd, LogTreeAndRestartsAreAsExpected)
{
    Case c(QString::fromStdString(GetParam()));
    const QString actual = c.transcript();
    if (qEnvironmentVariableIsSet("UPGRADE_E2E_UPDATE")) {
        writeAll(c.dir + "/expected", actual.toUtf8(), 0644);
        return;
    }
    EXPECT_EQ(s(QString::fromUtf8(readAll(c.dir + "/expected"))), s(actual));
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, testing::ValuesIn([] {
    std::vector<std::string> names;
    for (const QString& name :
        QDir(caseRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        names.push_back(s(name));
    return names;
}()),
    [](const testing::TestParamInfo<std::string>& param) {
        return s(QString::fromStdString(param.param).replace('-', '_'));
    });

} // namespace

namespace {

TEST(CommandLine, HelpAndVersionPrintAndExitWithoutAnUpgrade)
{
    QTemporaryDir dir;
    const QString home = "-homedir=" + dir.path();
    const struct {
        QStringList arguments;
        const char* firstLine;
    } cases[] = { { { home, "--help" }, "Usage: UpgradeDeploy [option]..." },
        { { "-h", home, "-out=" + dir.path() + "/x.log" }, "Usage: UpgradeDeploy [option]..." },
        { { home, "--version" }, "UpgradeDeploy " UPGRADE_VERSION } };
    for (const auto& c : cases) {
        const Result result = run(UPGRADE_DEPLOY_BIN, c.arguments, dir.path());
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(s(result.out.section('\n', 0, 0)), c.firstLine);
        EXPECT_TRUE(QDir(dir.path()).isEmpty()) << "no log, no restart";
    }
    const QString help = run(UPGRADE_DEPLOY_BIN, { "--help" }, dir.path()).out;
    for (const char* word : { "-homedir=", "-appname=", "-gui", "-out=", "-delay_sec=", "conf.json",
             "files-remove", "State:", "Info:", "Warning:", "Error:", "Debug:", "Exit status" })
        EXPECT_TRUE(help.contains(word)) << word;
}

// A generated tree is described, its files are touched, and the deployment of that description
// must put every file in place with the time it had when it was described.
TEST(Describe, DescribedTreeDeploysWithItsTimes)
{
    QTemporaryDir tmp;
    const QString home = tmp.path() + "/home", arrival = home + "/upgrade/new";
    writeAll(home + "/conf.json",
        R"({ "upgrade": { "new-arrival": { "file-location": "upgrade/new",
             "file-desc": "upgrade/new/files.json" } } })",
        0644);
    writeAll(home + "/old.txt", "old", 0644);
    const QStringList paths { "b.txt", "a/z.conf", "a/b/c/d.dat", "ext/\xC3\xA9t\xC3\xA9.txt",
        ".hidden" };
    QDateTime time = QDateTime::fromString("2010-03-04 05:06:07", timeFormat);
    QMap<QString, QDateTime> times;
    for (const QString& path : paths) {
        writeAll(arrival + '/' + path, path.toUtf8(), 0644);
        setTime(arrival + '/' + path, time);
        times[path] = time;
        time = time.addDays(40).addSecs(3601);
    }
    ASSERT_EQ(::symlink("b.txt", QFile::encodeName(arrival + "/link").constData()), 0);

    const Result described = run(UPGRADE_DESCRIBE_BIN,
        { "home/upgrade/new", "-remove=old.txt", "-out=home/upgrade/new/files.json" }, tmp.path());
    ASSERT_EQ(described.code, 0) << s(described.err);
    // Depth first in name order; every entry is a nested map, so its line breaks are "\r\n".
    QStringList entries;
    for (const char* path :
        { ".hidden", "a/b/c/d.dat", "a/z.conf", "b.txt", "ext/\xC3\xA9t\xC3\xA9.txt" })
        entries << QString("{ \r\n\"modified-time\" : \"%1\", \r\n\"path\" : \"%2\" }\r\n")
                       .arg(times[path].toString(timeFormat), path);
    EXPECT_EQ(s(QString::fromUtf8(readAll(arrival + "/files.json"))),
        s("{ \n\"files-ex\" : [ " + entries.join(", ")
            + " ], \n\"files-remove\" : [ \"old.txt\" ] }\n"));

    for (const QString& path : paths)
        setTime(arrival + '/' + path, QDateTime::currentDateTime());
    const Result deployed = run(UPGRADE_DEPLOY_BIN, { "-homedir=" + home }, tmp.path());
    EXPECT_EQ(deployed.code, 0) << s(deployed.out);
    for (const QString& path : paths) {
        EXPECT_EQ(s(QString::fromUtf8(readAll(home + '/' + path))), s(path));
        EXPECT_EQ(QFileInfo(home + '/' + path).lastModified(), times[path]) << s(path);
    }
    EXPECT_FALSE(QFile::exists(home + "/old.txt"));
    EXPECT_FALSE(QFile::exists(arrival + "/files.json"));
}

TEST(Describe, FailsWithOneLineAndLeavesNoDocument)
{
    QTemporaryDir tmp;
    writeAll(tmp.path() + "/new/a.txt", "a", 0644);
    writeAll(tmp.path() + "/kept.json", "kept", 0644);
    ::chmod(QFile::encodeName(tmp.path() + "/kept.json").constData(), 0444);
    const struct {
        QStringList arguments;
        const char *error, *out;
    } cases[] = { { { "nowhere", "-out=d.json" }, "cannot read directory 'nowhere'", "d.json" },
        { { "new/a.txt" }, "cannot read directory 'new/a.txt'", nullptr },
        { { "new", "-out=nodir/d.json" }, "cannot write 'nodir/d.json': ", "nodir/d.json" },
        { { "new", "extra" }, "unexpected argument 'extra' (try --help)", nullptr },
        { { "-out=d.json" }, "no new-arrival directory given (try --help)", "d.json" } };
    for (const auto& c : cases) {
        SCOPED_TRACE(s(c.arguments.join(' ')));
        const Result result = run(UPGRADE_DESCRIBE_BIN, c.arguments, tmp.path());
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(s(result.out), "");
        EXPECT_TRUE(result.err.startsWith(QString("UpgradeDescribe: ") + c.error)) << s(result.err);
        EXPECT_EQ(result.err.count('\n'), 1);
        if (c.out) {
            EXPECT_FALSE(QFile::exists(tmp.path() + '/' + c.out));
        }
    }
    EXPECT_EQ(s(QString::fromUtf8(readAll(tmp.path() + "/kept.json"))), "kept");
}

} // namespace
