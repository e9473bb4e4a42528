// SPDX-License-Identifier: MIT
// The built programs run end to end. Each directory under data/e2e is one case:
//   root/     the tree the run starts from (names and texts may hold %R, %S, %D and %L);
//   run       what to do, one step a line, words separated by blanks ("\s", "\t" and "\n" in a
//             word stand for a blank, a tab and a line break; "#" starts a comment line):
//               tree            shows the tree as it is now
//               remember        keeps the home tree (upgrade/ aside) as it is now, every byte,
//               compare         mode and time; "compare" tells whether it is so again
//               touch <path>    gives a file the current time; remove <path> removes one
//               chmod <path> <octal>, move <path> <path> (renames; stages a second description)
//               dir <path>, fifo <path>, socket <path>, chardev <path> (the null device's numbers)
//               link <path> <target>, hardlink <path> <existing path>
//               sparse <path> <n>   a file of <n> zero bytes that takes no room (a hole)
//               nest <path> <n>     a JSON text of <n> opening brackets
//               sleeper [<name>]    starts a copy of sleep named %S (or <name>) in root/home; the
//                               transcript tells whether the runs stopped it or spared it
//               key <name>      makes a key pair with minisign, k/<name>.pub and .sec; its id
//                               shows as %K<name>
//               sign <path> <key> [<minisign argument>]   signs a file with "minisign -S"
//               write <path> <text>, copy <path> <path>, replace <path> <text> <text>
//               grow <path> <n> (adds n line breaks), keeplines <path> <n>, flip <path> <line>
//               <column> (changes an 'A' there to 'B', anything else to 'A'), rekey <signature>
//               <key> (names another key as the signer); show <path> puts a file in the transcript
//               hold <n> <argument>...   starts the deployer in the root, held (stopped by
//                               faultfs) before its n-th rename in home; "resume" lets it go on,
//                               "kill" kills it, and the transcript shows its output then
//               verify <path> <key>   puts what "minisign -V" says of the file in the transcript
//               sum <path>      the file's SHA-256 shows as "<sha256 of <path>>" from now on
//               plan <working dir> <argument>...   runs the deployer with "-check"; the next
//                               deploy step then tells whether it put in place exactly the files
//                               that -check said it would (what stands there, or its inode,
//                               changed)
//               self            runs the deployer as a copy named %D from now on
//               fault <NAME=value>...   preloads faultfs (helpers/faultfs.c) into the next run,
//                               set up so (FAULTFS_DIRS is the home directory unless given)
//               deploy <working dir> <argument>... / describe <working dir> <argument>...
//                               runs UpgradeDeploy or UpgradeDescribe once (paths under the root);
//   expected  the whole transcript: each run's output, standard error and exit status, the logs
//             written with "-out=" (root/*.log and root/log/*.log), the whole tree afterwards (the
//             tree outside home shows that a run left it alone) and every record the stand-ins
//             left.
// %R is the temporary root, %S and %D unique names, %L a unique name of exactly 15 characters (the
// length Linux keeps of a process name), %P the sleeper's pid, %T the path of the stored sequence
// for root/home in root/state and %F its file name. The restart stand-ins
// (QuorvelKeeper, QuorvelService, QuorvelBox, tools/restart.sh) record their working directory,
// their arguments and whether they hold a log file open (one they should not have inherited) in
// <name>.rec. UPGRADE_E2E_UPDATE=1 rewrites the expected files from what the runs do.
#include "SequenceState.h"
#include "support.h"

#include <QCryptographicHash>
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
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

namespace {

using namespace testsupport;

const QString caseRoot = QStringLiteral(UPGRADE_TEST_DATA_DIR "/e2e");
// Every file of a case starts with this time, so that the tree shows which ones were changed.
const QDateTime fixtureTime = QDateTime::fromString("2001-02-03 04:05:06", timeFormat);

const char recorder[] = "#!/bin/sh\n"
                        "{ pwd -P; for a in \"$@\"; do echo \"[$a]\"; done\n"
                        "  ls -l /proc/$$/fd | grep -q '\\.log$' && echo 'holds a log file'\n"
                        "} >\"$0.rec.part\"\n"
                        "mv \"$0.rec.part\" \"$0.rec\"\n";

struct Result {
    int code = -1;
    QString out, err;
};

const bool emulated = !QString(UPGRADE_EMULATOR).trimmed().isEmpty();

QString minisignProgram() { return QStandardPaths::findExecutable("minisign"); }

// The environment of a run with faultfs preloaded and set up by |faults| ("NAME=value" items).
QProcessEnvironment faultEnvironment(const QStringList& faults)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (faults.isEmpty())
        return env;
    env.insert(emulated ? "QEMU_SET_ENV" : "LD_PRELOAD",
        emulated ? "LD_PRELOAD=" UPGRADE_FAULTFS_LIB : UPGRADE_FAULTFS_LIB);
#ifdef UPGRADE_SANITIZE
    // The sanitizer runtime would refuse a library preloaded before it.
    env.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
#endif
    for (const QString& item : faults)
        env.insert(item.section('=', 0, 0), item.section('=', 1));
    return env;
}

// Runs a built program, through the emulator of a cross build.
Result run(const QString& program, const QStringList& arguments, const QString& workingDir,
    const QStringList& faults = {})
{
    QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
    command << program << arguments;
    QProcess process;
    process.setProcessEnvironment(faultEnvironment(faults));
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
        const QString state = TSequenceState(root + "/state", home).path();
        named.append({ "%T", state });
        named.append({ "%F", QFileInfo(state).fileName() });
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
            QStringList words = substitute(line).split(' ', Qt::SkipEmptyParts);
            for (QString& word : words)
                word.replace("\\s", " ").replace("\\t", "\t").replace("\\n", "\n");
            const QString step = words.value(0);
            if (step.isEmpty() || step.startsWith('#'))
                continue;
            if (step == "show")
                text += "--- " + placeholders(words.value(1)) + '\n'
                    + placeholders(QString::fromUtf8(readAll(at(words.value(1)))));
            else if (step == "hold")
                text += "$ " + line + '\n' + hold(words.value(1), words.mid(2));
            else if (step == "resume" || step == "kill")
                text += "$ " + line + '\n' + finishHeld(step == "kill" ? SIGKILL : SIGCONT);
            else if (step == "verify")
                text += verified(words.value(1), words.value(2));
            else if (step == "tree")
                text += "--- tree\n" + tree();
            else if (step == "compare")
                text += compared();
            else if (step == "plan")
                text += "$ " + line + '\n' + plan(words.value(1), words.mid(2));
            else if (step == "deploy" || step == "describe") {
                text += "$ " + line + '\n'
                    + runStep(step == "deploy" ? program : UPGRADE_DESCRIBE_BIN,
                        root + '/' + words.value(1), words.mid(2));
                text += step == "deploy" ? planAgreement() : QString(); // after the run
            } else
                prepare(step, words);
        }
        text += sleepersEnded();
        for (const QString& log : logFiles())
            text += "--- " + QDir(root).relativeFilePath(log) + '\n'
                + normalized(QString::fromUtf8(readAll(log)));
        waitForRecords(text);
        return text + "--- tree\n" + tree() + records();
    }

    const QString dir;
    QTemporaryDir tmp, programDir;
    const QString root = QFileInfo(tmp.path()).canonicalFilePath(), home = root + "/home";
    const QString sleeperName = uniqueName("uts"), selfName = uniqueName("utd");
    const QString longName = uniqueName("utl") + "long";
    QString program = UPGRADE_DEPLOY_BIN;
    std::vector<std::pair<pid_t, QString>> sleepers; // the pid and the name the case gave
    QStringList faults; // for the next run
    pid_t held = 0; // a run that faultfs holds stopped
    // What the last "plan" step said the next run puts in place, relative to the home it names,
    // and what stood at those paths and at every listed one then.
    QStringList planned;
    QString planHome;
    QHash<QString, QString> before;
    // Texts a case cannot know in advance, and what stands for them: the state file's path (%T),
    // key ids, checksums.
    QList<std::pair<QString, QString>> named;
    QStringList remembered;

private:
    // The steps that build the tree or change it between runs.
    void prepare(const QString& step, const QStringList& words)
    {
        const QString path = at(words.value(1)), argument = words.value(2);
        const QByteArray native = QFile::encodeName(path);
        if (step == "sleeper")
            startSleeper(words.value(1));
        else if (step == "self")
            program = copyOfDeployer();
        else if (step == "fault")
            faults = QStringList { "FAULTFS_DIRS=" + home } + words.mid(1);
        else if (step == "remember")
            remembered = fullTree();
        else if (step == "touch")
            setTime(path, QDateTime::currentDateTime());
        else if (step == "chmod")
            ::chmod(native.constData(), argument.toUInt(nullptr, 8));
        else if (step == "move")
            QDir().rename(path, root + '/' + argument);
        else if (step == "dir")
            QDir().mkpath(path);
        else if (step == "remove")
            ::unlink(native.constData());
        else if (!editFile(step, words) && QDir().mkpath(QFileInfo(path).path())
            && !makeEntry(step, native, argument))
            ADD_FAILURE() << "step failed: " << s(words.join(' ')) << ": " << strerror(errno);
    }

    // Starts a run of the deployer, in the root with |arguments|, that stops itself before its
    // |at|-th rename in home (faultfs), and returns once it has stopped: it is then inside its run.
    QString hold(const QString& at, const QStringList& arguments)
    {
        QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
        command << program << arguments;
        const QProcessEnvironment env = faultEnvironment({ "FAULTFS_DIRS=" + home,
            "FAULTFS_CALLS=rename", "FAULTFS_ACTION=stop-before", "FAULTFS_AT=" + at });
        const QByteArray out = QFile::encodeName(programDir.path() + "/held.out");
        const QByteArray where = QFile::encodeName(root);
        std::vector<std::pair<QByteArray, QByteArray>> settings;
        for (const QString& name : env.keys())
            settings.emplace_back(name.toUtf8(), env.value(name).toUtf8());
        held = startChild(
            command,
            [&] {
                const int fd
                    = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                ::dup2(fd, STDOUT_FILENO);
                for (const auto& [name, value] : settings)
                    ::setenv(name.constData(), value.constData(), 1);
                if (::chdir(where.constData()) != 0)
                    _exit(127);
            },
            120);
        int status = 0;
        const bool stopped
            = held > 0 && ::waitpid(held, &status, WUNTRACED) == held && WIFSTOPPED(status);
        return stopped ? QString("--- held\n") : QString("--- not held\n");
    }

    // Lets the held run go on, or kills it; its output and how it ended.
    QString finishHeld(int signal)
    {
        ::kill(held, signal);
        int status = 0;
        while (::waitpid(held, &status, 0) == held && WIFSTOPPED(status))
            ::kill(held, SIGCONT);
        held = 0;
        const QString ended = WIFEXITED(status)
            ? QString("exit %1\n").arg(WEXITSTATUS(status))
            : QString("killed by signal %1\n").arg(WTERMSIG(status));
        return normalized(QString::fromUtf8(readAll(programDir.path() + "/held.out"))) + ended;
    }

    // Runs the deployer with "-check" and keeps what its plan says the next run puts in place,
    // with what stands at each of those paths and at every path the description lists.
    QString plan(const QString& workingDir, const QStringList& arguments)
    {
        const Result check = run(program, arguments + QStringList("-check"), at(workingDir));
        planned.clear();
        planHome.clear();
        QString descPath;
        static const QRegularExpression move("^Check: (install|replace) '(.*)' (from|with) '");
        bool whole = true; // a failure that stops the whole upgrade puts nothing in place
        for (const QString& line : check.out.split('\n')) {
            planHome = line.startsWith("HomeDir: ") ? line.mid(9) : planHome;
            descPath = line.startsWith("NewFileDesc: '") ? line.mid(14).chopped(1) : descPath;
            const QRegularExpressionMatch found = move.match(line);
            if (found.hasMatch())
                planned << fromLogForm(found.captured(2).mid(planHome.size() + 1));
            whole = whole && !line.startsWith("Check: fail: not enough space")
                && !(line.startsWith("Check: fail: '") && allOrNothing(descPath));
        }
        if (!whole)
            planned.clear();
        before.clear();
        for (const QString& path : planned + listedPaths(fromLogForm(descPath)))
            before.insert(path, stateWithInode(planHome + '/' + path));
        return runStepText(check);
    }

    // Whether the plan of the last "plan" step is what the run put in place: the paths where what
    // stands there, or its inode, changed.
    QString planAgreement()
    {
        if (planHome.isEmpty())
            return QString();
        QStringList landed, said = planned;
        for (auto it = before.begin(); it != before.end(); ++it)
            if (it.value() != stateWithInode(planHome + '/' + it.key()))
                landed << it.key();
        planHome.clear();
        said.sort();
        landed.sort();
        if (said == landed)
            return "--- the run put in place what -check said\n";
        return placeholders("--- -check said: " + said.join(", ")
            + "; the run put in place: " + landed.join(", ") + '\n');
    }

    static QString stateWithInode(const QString& path)
    {
        struct stat st { };
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return "absent";
        return entry(path, st) + " #" + QString::number(st.st_ino);
    }

    static bool allOrNothing(const QString& descPath)
    {
        return QJsonDocument::fromJson(readDocument(fromLogForm(descPath)))
            .object()
            .value("all-or-nothing")
            .toBool();
    }

    // A document that is a regular file (never a FIFO that would block), small enough to read.
    static QByteArray readDocument(const QString& path)
    {
        const QFileInfo info(path);
        return info.isFile() && info.size() <= (1 << 20) ? readAll(path) : QByteArray();
    }

    // Every path the description lists to put in place.
    static QStringList listedPaths(const QString& descPath)
    {
        const QJsonObject desc = QJsonDocument::fromJson(readDocument(descPath)).object();
        QStringList paths;
        for (const QJsonValue& entry : desc.value("files").toArray())
            paths << entry.toString();
        for (const QJsonValue& entry : desc.value("files-ex").toArray())
            paths << entry.toObject().value("path").toString();
        return paths;
    }

    // A path as the file system names it, from the log's form (control characters escaped).
    static QString fromLogForm(const QString& text)
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

    // A path the case gives, under the root unless absolute.
    QString at(const QString& path) const
    {
        return path.startsWith('/') ? path : root + '/' + path;
    }

    // What "minisign -V" says of the signature of |path| with key |key|.
    QString verified(const QString& path, const QString& key) const
    {
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(
            minisignProgram(), { "-V", "-p", root + "/k/" + key + ".pub", "-m", at(path) });
        verify.waitForFinished(60000);
        return QString("--- minisign -V, exit %1\n").arg(verify.exitCode())
            + placeholders(QString::fromUtf8(verify.readAll()));
    }

    // The steps that make keys and signatures with minisign or change a file's bytes. False for
    // another step.
    bool editFile(const QString& step, const QStringList& words)
    {
        const QString path = at(words.value(1));
        QByteArray data = readAll(path);
        if (step == "key")
            makeKey(words.value(1));
        else if (step == "sign")
            EXPECT_EQ(minisign(QStringList {
                                   "-S", "-s", root + "/k/" + words.value(2) + ".sec", "-m", path }
                          + words.mid(3)),
                0);
        else if (step == "write")
            writeFixed(path, words.mid(2).join(' ').toUtf8());
        else if (step == "copy")
            writeFixed(at(words.value(2)), data);
        else if (step == "replace")
            writeFile(path, data.replace(words.value(2).toUtf8(), words.value(3).toUtf8()));
        else if (step == "grow")
            writeFile(path, data + QByteArray(words.value(2).toInt(), '\n'));
        else if (step == "keeplines")
            writeFile(path, data.split('\n').mid(0, words.value(2).toInt()).join('\n') + '\n');
        else if (step == "flip")
            writeFile(path, flipped(data, words.value(2).toInt(), words.value(3).toInt()));
        else if (step == "rekey")
            writeFile(path, rekeyed(data, words.value(2)));
        else if (step == "sum")
            named.append({ "<sha256 of " + words.value(1) + '>', sha256(data) });
        else
            return false;
        return true;
    }

    // A file the case writes has a time of its own, as the files of root/ have.
    static void writeFixed(const QString& path, const QByteArray& data)
    {
        writeFile(path, data);
        setTime(path, fixtureTime);
    }

    // Line |line| (from 1) with the character at |column| changed between 'A' and 'B'.
    static QByteArray flipped(const QByteArray& data, int line, int column)
    {
        QList<QByteArray> lines = data.split('\n');
        QByteArray& text = lines[line - 1];
        text[column] = text.at(column) == 'A' ? 'B' : 'A';
        return lines.join('\n');
    }

    // A signature that names the key |name| as its signer, whatever key made it.
    QByteArray rekeyed(const QByteArray& signature, const QString& name) const
    {
        QList<QByteArray> lines = signature.split('\n');
        const QByteArray key = publicKey(name);
        lines[1] = QByteArray::fromBase64(lines.at(1)).replace(2, 8, key.mid(2, 8)).toBase64();
        return lines.join('\n');
    }

    QByteArray publicKey(const QString& name) const
    {
        return QByteArray::fromBase64(readAll(root + "/k/" + name + ".pub").split('\n').value(1));
    }

    // A key pair without a password in k/<name>.pub and .sec; its id, as the messages give it (16
    // hexadecimal digits, little-endian in the key), shows as %K<name>.
    void makeKey(const QString& name)
    {
        QDir().mkpath(root + "/k");
        const QString base = root + "/k/" + name;
        ASSERT_EQ(minisign({ "-G", "-W", "-p", base + ".pub", "-s", base + ".sec" }), 0);
        // The comment minisign writes holds the key id without leading zeros: a size that varies.
        const QByteArray key = publicKey(name);
        writeFile(base + ".pub",
            "untrusted comment: minisign public key " + name.toUtf8() + '\n' + key.toBase64()
                + '\n');
        QString id;
        for (int i = 9; i >= 2; --i)
            id += QString("%1").arg(uint(uchar(key.at(i))), 2, 16, QChar('0')).toUpper();
        named.append({ "%K" + name, id });
    }

    static int minisign(const QStringList& arguments)
    {
        return runChild(QStringList { minisignProgram() } << arguments, [] {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
        });
    }

    static QString sha256(const QByteArray& data)
    {
        return QString::fromLatin1(
            QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    }

    static bool makeEntry(const QString& kind, const QByteArray& path, const QString& argument)
    {
        const QByteArray other = QFile::encodeName(argument);
        if (kind == "link")
            return ::symlink(other.constData(), path.constData()) == 0;
        if (kind == "hardlink")
            return ::link(other.constData(), path.constData()) == 0;
        if (kind == "fifo")
            return ::mkfifo(path.constData(), 0644) == 0;
        if (kind == "chardev")
            return ::mknod(path.constData(), S_IFCHR | 0644, makedev(1, 3)) == 0;
        if (kind == "socket")
            return makeSocket(path);
        if (kind == "nest") {
            writeFile(QFile::decodeName(path), QByteArray(argument.toInt(), '['));
            return true;
        }
        if (kind != "sparse")
            return false;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool made = fd >= 0 && ::ftruncate(fd, argument.toLongLong()) == 0;
        if (fd >= 0)
            ::close(fd);
        return made;
    }

    static bool makeSocket(const QByteArray& path)
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (static_cast<size_t>(path.size()) >= sizeof address.sun_path)
            return false;
        std::memcpy(address.sun_path, path.constData(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool bound
            = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0)
            ::close(fd);
        return bound;
    }

    // Every file and link under home with its whole content, mode and modification time to the
    // nanosecond (the records of the restart stand-ins aside; directories change with them).
    QStringList fullTree() const
    {
        QStringList lines;
        QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st { };
            ::lstat(QFile::encodeName(path).constData(), &st);
            if (path.contains(".rec") || path.startsWith(home + "/upgrade/") || S_ISDIR(st.st_mode))
                continue;
            lines << QString("%1 %2 %3.%4 %5")
                         .arg(path)
                         .arg(st.st_mode, 0, 8)
                         .arg(st.st_mtim.tv_sec)
                         .arg(st.st_mtim.tv_nsec)
                         .arg(S_ISREG(st.st_mode) ? QString::fromLatin1(readAll(path).toHex())
                                                  : QString());
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
        for (const auto& [placeholder, value] : named)
            text.replace(placeholder, value);
        return text.replace("%R", root)
            .replace("%S", sleeperName)
            .replace("%D", selfName)
            .replace("%L", longName);
    }

    void copyTree(const QString& from, const QString& to)
    {
        QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString source = it.next();
            const QString target = to + '/' + substitute(QDir(from).relativeFilePath(source));
            // Bytes stay bytes: a round trip through QString would drop a byte-order mark.
            writeFile(target,
                readAll(source)
                    .replace("%R", root.toUtf8())
                    .replace("%S", sleeperName.toUtf8())
                    .replace("%D", selfName.toUtf8())
                    .replace("%L", longName.toUtf8()));
            setTime(target, fixtureTime);
        }
    }

    // A copy of sleep under a name no other process bears, running in the home directory.
    void startSleeper(const QString& name)
    {
        const QString exe = home + '/' + (name.isEmpty() ? sleeperName : name);
        ASSERT_TRUE(QFile::copy("/bin/sleep", exe));
        setTime(exe, fixtureTime);
        sleepers.emplace_back(startNamed(exe, "60"), name);
    }

    // How each sleeper ended: by the signal a run sent it, or not at all (then it is killed). The
    // runs wait for the end of what they stop; a sleeper that still runs seconds later was spared.
    QString sleepersEnded() const
    {
        QString text;
        for (const auto& [pid, name] : sleepers) {
            int status = 0;
            pid_t ended = waitpid(pid, &status, WNOHANG);
            for (int i = 0; i < 300 && ended == 0; ++i, usleep(10000))
                ended = waitpid(pid, &status, WNOHANG);
            if (ended == 0) {
                ::kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
            text += QString("--- sleeper %1").arg(name.isEmpty() ? QString() : name + ' ');
            text += ended == 0
                ? QString("still ran\n")
                : QString("ended by signal %1\n").arg(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        }
        return placeholders(text);
    }

    // The logs that "-out=" wrote, in the root or in its log directory.
    QStringList logFiles() const
    {
        QStringList found;
        for (const QString& in : { root, root + "/log" })
            for (const QString& log : QDir(in).entryList({ "*.log" }, QDir::Files, QDir::Name))
                found << in + '/' + log;
        return found;
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
        const Result result = run(executable, arguments, workingDir, faults);
        faults.clear();
        return runStepText(result);
    }

    QString runStepText(const Result& result) const
    {
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
        for (const auto& [placeholder, value] : named)
            text.replace(value, placeholder);
        text.replace(root, "%R")
            .replace(sleeperName, "%S")
            .replace(selfName, "%D")
            .replace(longName, "%L");
        for (const auto& sleeper : sleepers)
            text.replace(QString("(%1)").arg(sleeper.first), "(%P)");
        return text;
    }

    // Directories, then each entry: a link with its target, a special file with its kind, a file
    // with its mode, modification time and short text content. Control characters in names show
    // escaped.
    QString tree() const
    {
        QStringList lines;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString name
                = QDir(root).relativeFilePath(path).replace('\n', "\\n").replace('\t', "\\t");
            struct stat st { };
            ::lstat(QFile::encodeName(path).constData(), &st);
            if (S_ISDIR(st.st_mode))
                lines << name + '/';
            else if (!name.contains(".rec") && !name.endsWith(".log"))
                lines << name + ' ' + entry(path, st);
        }
        lines.sort();
        return placeholders(lines.join('\n') + '\n');
    }

    static QString entry(const QString& path, const struct stat& st)
    {
        if (S_ISLNK(st.st_mode))
            return QString::fromStdString("-> " + linkText(path));
        if (!S_ISREG(st.st_mode))
            return S_ISFIFO(st.st_mode) ? "fifo" : S_ISSOCK(st.st_mode) ? "socket" : "device";
        // Large files are not read: a hole of gigabytes shows its size.
        const QByteArray data = st.st_size <= (1 << 20) ? readAll(path) : QByteArray();
        const QString text = QString::fromUtf8(data).chopped(data.endsWith('\n') ? 1 : 0);
        // A copy of sleep differs in size from machine to machine.
        static const QByteArray sleep = readAll("/bin/sleep");
        const QDateTime modified = QFileInfo(path).lastModified();
        return QString("%1 %2 %3")
            .arg(st.st_mode & 07777, 4, 8, QChar('0'))
            .arg(modified.secsTo(QDateTime::currentDateTime()) < 86400
                    ? QString("<now>") // a time the runs gave (a manifest's)
                    : modified.toString(timeFormat),
                data == sleep ? QString("<sleep>")
                    : st.st_size <= 64 && !text.contains('\n')
                    ? text
                    : QString("<%1 bytes>").arg(st.st_size));
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
    if (readAll(c.dir + "/run").contains("\nkey ") && minisignProgram().isEmpty())
        GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    // qemu-user ends a guest that was stopped and continued as if it had exited: a held run never
    // finishes there. The lock is the kernel's and the same on every architecture.
    if (emulated && readAll(c.dir + "/run").contains("\nhold "))
        GTEST_SKIP() << "the emulator cannot hold a run stopped and let it go on";
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
