// SPDX-License-Identifier: MIT
// The built programs run end to end. Each directory under data/e2e is one case:
//   root/     the tree the run starts from (names and texts may hold %R, %S and %D);
//   run       what to do, one step a line: "sleeper" starts a copy of sleep named %S in
//             root/home, "self" runs the deployer as a copy named %D from now on,
//             "touch <path>" gives a file the current time, "tree" shows the tree as it is now,
//             "remember" keeps the home tree (the new-arrival directory upgrade/ aside) as it is
//             now and "compare" tells whether it is so again (every byte, mode and time), "chmod
//             <path> <octal>" sets a mode, "move <path> <path>" renames a file (stages a second
//             description), and "deploy <working dir> <argument>..." or "describe <working dir>
//             <argument>..." runs UpgradeDeploy or UpgradeDescribe once (paths under the root);
//   expected  the whole transcript: each run's output, standard error and exit status, the logs
//             written with "-out=" (root/*.log), the tree afterwards and every record the
//             stand-ins left.
// %R is the temporary root, %S and %D the unique names, %P the sleeper's pid. The restart stand-ins
// (QuorvelKeeper, QuorvelService, QuorvelBox, tools/restart.sh) record their working directory and
// arguments in <name>.rec. UPGRADE_E2E_UPDATE=1 rewrites the expected files from what the runs do.
#include "support.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/wait.h>

namespace {

using namespace testsupport;

const QString caseRoot = QStringLiteral(UPGRADE_TEST_DATA_DIR "/e2e");
// Every file of a case starts with this time, so that the tree shows which ones were changed.
const QDateTime fixtureTime = QDateTime::fromString("2001-02-03 04:05:06", timeFormat);

const char recorder[] = "#!/bin/sh\n"
                        "{ pwd -P; for a in \"$@\"; do echo \"[$a]\"; done; } >\"$0.rec.part\"\n"
                        "mv \"$0.rec.part\" \"$0.rec\"\n";

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
            writeFile(home + '/' + stand, recorder, 0755);
            setTime(home + '/' + stand, fixtureTime);
        }
    }

    QString transcript()
    {
        QString text;
        for (const QString& line : QString::fromUtf8(readAll(dir + "/run")).split('\n')) {
            const QStringList words = substitute(line).split(' ', Qt::SkipEmptyParts);
            const QString step = words.value(0), path = root + '/' + words.value(1);
            if (step == "sleeper")
                startSleeper();
            else if (step == "self")
                program = copyOfDeployer();
            else if (step == "touch")
                setTime(path, QDateTime::currentDateTime());
            else if (step == "tree")
                text += "--- tree\n" + tree();
            else if (step == "remember")
                remembered = fullTree();
            else if (step == "compare")
                text += compared();
            else if (step == "chmod")
                ::chmod(QFile::encodeName(path).constData(), words.value(2).toUInt(nullptr, 8));
            else if (step == "move")
                QDir().rename(path, root + '/' + words.value(2));
            else if (step == "deploy" || step == "describe")
                text += "$ " + line + '\n'
                    + runStep(
                        step == "deploy" ? program : UPGRADE_DESCRIBE_BIN, path, words.mid(2));
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
    QStringList remembered;

private:
    // Every file and link under home with its whole content, mode and modification time to the
    // nanosecond (the records of the restart stand-ins aside; directories change with them).
    QStringList fullTree() const
    {
        QStringList lines;
        QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.contains(".rec") || path.startsWith(home + "/upgrade/")
                || (it.fileInfo().isDir() && !it.fileInfo().isSymLink()))
                continue;
            struct stat st { };
            ::lstat(QFile::encodeName(path).constData(), &st);
            lines << QString("%1 %2 %3.%4 %5")
                         .arg(path)
                         .arg(st.st_mode, 0, 8)
                         .arg(st.st_mtim.tv_sec)
                         .arg(st.st_mtim.tv_nsec)
                         .arg(QString::fromLatin1(readAll(path).toHex()));
        }
        lines.sort();
        return lines;
    }

    QString compared() const
    {
        const QStringList now = fullTree();
        if (now == remembered)
            return "--- tree as remembered\n";
        QString text = "--- tree differs from the one remembered\n";
        for (const QString& line : remembered)
            text += now.contains(line) ? QString() : "was: " + placeholders(line.left(200)) + '\n';
        for (const QString& line : now)
            text += remembered.contains(line) ? QString()
                                              : "now: " + placeholders(line.left(200)) + '\n';
        return text;
    }

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
            writeFile(target, substitute(QString::fromUtf8(readAll(source))).toUtf8());
            setTime(target, fixtureTime);
        }
    }

    // A copy of sleep under a name no other process bears, running in the home directory.
    void startSleeper()
    {
        const QString exe = home + '/' + sleeperName;
        ASSERT_TRUE(QFile::copy("/bin/sleep", exe));
        setTime(exe, fixtureTime);
        sleeper = startNamed(exe, "60");
    }

    QString copyOfDeployer()
    {
        const QString copy = programDir.path() + '/' + selfName;
        QFile::copy(UPGRADE_DEPLOY_BIN, copy);
        return copy;
    }

    QString runStep(
        const QString& executable, const QString& workingDir, const QStringList& arguments)
    {
        const Result result = run(executable, arguments, workingDir);
        QString text = normalized(result.out);
        for (const QString& line : result.err.split('\n', Qt::SkipEmptyParts))
            text += "stderr: " + placeholders(line) + '\n';
        return text + QString("exit %1\n").arg(result.code);
    }

    // The start time goes, and so do the warnings about processes that ended while the deployer
    // walked the machine's process table.
    QString normalized(const QString& log) const
    {
        static const QRegularExpression start(
            "^State: Start, \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$");
        // The room a file system has left is the machine's, not the case's.
        static const QRegularExpression room("^(Check: space on .*, )\\d+ available$");
        QString kept;
        QStringList lines = log.split('\n');
        if (lines.last().isEmpty())
            lines.removeLast();
        for (QString line : lines) {
            if (endedDuringWalk(line))
                continue;
            if (start.match(line).hasMatch())
                line = "State: Start, <time>";
            line.replace(room, "\\1<n> available");
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
            // A copy of sleep differs in size from machine to machine.
            static const QByteArray sleep = readAll("/bin/sleep");
            lines << QString("%1 %2 %3 %4")
                         .arg(name)
                         .arg(st.st_mode & 07777, 4, 8, QChar('0'))
                         .arg(info.lastModified().secsTo(QDateTime::currentDateTime()) < 86400
                                 ? QString("<now>") // a time the runs gave (a manifest's)
                                 : info.lastModified().toString(timeFormat),
                             data == sleep ? QString("<sleep>")
                                 : data.size() <= 64 && !text.contains('\n')
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
        QSet<QString> programs; // a program started twice leaves one record
        for (auto it = started.globalMatch(logs); it.hasNext();)
            programs.insert(it.next().captured());
        const int starts = programs.size();
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
        writeFile(c.dir + "/expected", actual.toUtf8());
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
