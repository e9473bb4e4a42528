// SPDX-License-Identifier: MIT
// Signed descriptions run end to end: the built UpgradeDeploy with keys made by minisign, a package
// signed by "minisign -S" or by UpgradeDescribe, and the stored sequence.
//
// Each case prepares a temporary root %R: home/ (conf.json names upgrade/new and
// upgrade/desc.json), keys/ (a.pub, the trusted key), k/ (the key pairs a and b, b trusted nowhere)
// and state/. The package removes old.txt and a program of home that runs, and brings a.txt. Steps,
// one a string:
//   offer <n>|none [a|b] [legacy]   writes the description at sequence <n> (or none), signed by
//   minisign with key
//                              a (or b; "legacy": the unhashed form); "offer <n> -" leaves it
//                              unsigned
//   save <name> | restore <name>   copies the description and its signature aside, or back
//   land                       runs the deployer, which must succeed
//   desc <from> <to>           replaces the first <from> in the description by <to>
//   sig <line> <column>        changes the character at <column> of line <line> of the signature
//   rekey a                    puts key a's id into the signature (made by b)
//   revoke a                   lists key a's id in keys/revoked
//   sigfile empty|cut|huge|fifo|link|missing   what is at the signature's path instead
//   state fifo                 a FIFO where the stored record belongs
//   state <n> [same|<text>]    the stored record: sequence <n> and the description's own SHA-256
//                              ("same") or another one; any other <text> is the file's whole text
//   nokeys                     removes the trusted key
// In texts, %D is the description's path, %A and %B the key ids, %S the state file.
#include "SequenceState.h"
#include "support.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

const bool emulated = QString(UPGRADE_EMULATOR).trimmed().size() > 0;
const int runLimitMs = emulated ? 60000 : 15000;

struct Outcome {
    int code = -1;
    QString log;
};

QString minisign() { return QStandardPaths::findExecutable("minisign"); }

// Runs a built program, through the emulator of a cross build.
Outcome runBuilt(const QString& program, const QStringList& arguments)
{
    QStringList command = QString(UPGRADE_EMULATOR).split(' ', Qt::SkipEmptyParts);
    command << program << arguments;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.takeFirst(), command);
    Outcome outcome;
    if (!process.waitForFinished(runLimitMs))
        process.kill();
    process.waitForFinished();
    if (process.exitStatus() == QProcess::NormalExit)
        outcome.code = process.exitCode();
    outcome.log = QString::fromUtf8(process.readAll());
    return outcome;
}

class Site {
public:
    Site()
    {
        makeKey("a");
        makeKey("b");
        writeFile(root + "/keys/a.pub", readAll(root + "/k/a.pub"));
        writeFile(home + "/conf.json",
            doc("{'upgrade':{'new-arrival':{'file-location':'upgrade/new',"
                "'file-desc':'upgrade/desc.json'}}}"));
        writeFile(home + "/old.txt", "old");
    }
    ~Site()
    {
        if (sleeper > 0) {
            ::kill(sleeper, SIGKILL);
            ::waitpid(sleeper, nullptr, 0);
        }
    }

    // As the messages give it: 16 hexadecimal digits (minisign's own comment drops leading zeros).
    QString keyId(const char* name) const
    {
        const QByteArray key
            = QByteArray::fromBase64(readAll(root + "/k/" + name + ".pub").split('\n').at(1));
        QString text;
        for (int i = 9; i >= 2; --i)
            text += QString("%1")
                        .arg(static_cast<uint>(static_cast<uchar>(key.at(i))), 2, 16, QChar('0'))
                        .toUpper();
        return text;
    }
    QString fill(const char* text) const
    {
        return QString::fromUtf8(text)
            .replace("%D", desc)
            .replace("%A", keyId("a"))
            .replace("%B", keyId("b"))
            .replace("%S", TSequenceState(root + "/state", home).path())
            .replace("%R", root);
    }

    void step(const QString& text);

    Outcome deploy(const QStringList& extra = {}) const
    {
        return runBuilt(UPGRADE_DEPLOY_BIN,
            QStringList {
                "-homedir=" + home, "-keys=" + root + "/keys", "-state=" + root + "/state" }
                << extra);
    }

    // A copy of sleep at home/<name>, which the package removes: a run that goes ahead stops it.
    void startProgram()
    {
        const QString exe = home + '/' + program;
        ASSERT_TRUE(QFile::copy("/bin/sleep", exe));
        ::chmod(QFile::encodeName(exe).constData(), 0755);
        sleeper = startNamed(exe, "60");
    }
    bool programRuns() const { return sleeper > 0 && ::waitpid(sleeper, nullptr, WNOHANG) == 0; }

    // Every entry under the root with its kind, mode, time, link target and contents.
    QStringList snapshot() const
    {
        QStringList lines;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const struct stat st = lstatOf(path);
            QString line = QString("%1 %2 %3.%4 -> %5")
                               .arg(QDir(root).relativeFilePath(path))
                               .arg(st.st_mode, 0, 8)
                               .arg(static_cast<qlonglong>(st.st_mtim.tv_sec))
                               .arg(st.st_mtim.tv_nsec)
                               .arg(QString::fromStdString(linkText(path)));
            if (S_ISREG(st.st_mode))
                line += ' ' + QString::fromLatin1(readAll(path).toHex());
            lines << line;
        }
        lines.sort();
        return lines;
    }

    QTemporaryDir tmp;
    const QString root = QFileInfo(tmp.path()).canonicalFilePath();
    const QString home = root + "/home";
    const QString desc = home + "/upgrade/desc.json";
    const QString sig = desc + ".minisig";
    const QString program = uniqueName("sgn");
    pid_t sleeper = 0;

private:
    static struct stat lstatOf(const QString& path)
    {
        struct stat st { };
        ::lstat(QFile::encodeName(path).constData(), &st);
        return st;
    }
    int sign(const QStringList& arguments) const
    {
        return runChild(QStringList { minisign() } << arguments, [] {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
        });
    }
    void makeKey(const char* name)
    {
        QDir().mkpath(root + "/k");
        const QString base = root + "/k/" + name;
        ASSERT_EQ(sign({ "-G", "-W", "-p", base + ".pub", "-s", base + ".sec" }), 0);
    }
    void offer(const QStringList& words);
    void signatureFile(const QString& kind);
};

void Site::offer(const QStringList& words)
{
    writeFile(home + "/upgrade/new/a.txt", "new_a");
    const QByteArray sequence = words.at(1) == "none" ? "" : ",'sequence':" + words.at(1).toUtf8();
    writeFile(desc,
        doc("{'files':['a.txt'],'files-remove':['old.txt','%P']%N}")
            .replace("%P", program.toUtf8())
            .replace("%N", doc(sequence.constData())));
    QFile::remove(sig);
    const QString key = words.value(2, "a");
    if (key == "-")
        return;
    QStringList arguments { "-S", "-s", root + "/k/" + key + ".sec", "-m", desc };
    if (words.contains("legacy"))
        arguments << "-l";
    ASSERT_EQ(sign(arguments), 0);
}

void Site::signatureFile(const QString& kind)
{
    const QByteArray path = QFile::encodeName(sig);
    const QByteArray good = readAll(sig);
    ::unlink(path.constData());
    if (kind == "empty")
        writeFile(sig, "");
    else if (kind == "cut")
        writeFile(sig, good.left(good.indexOf("\ntrusted comment") + 1));
    else if (kind == "huge")
        writeFile(sig, good + QByteArray(1 << 20, '\n'));
    else if (kind == "fifo")
        ASSERT_EQ(::mkfifo(path.constData(), 0644), 0);
    else if (kind == "link") {
        writeFile(root + "/elsewhere.minisig", good);
        ASSERT_EQ(
            ::symlink(QFile::encodeName(root + "/elsewhere.minisig").constData(), path.constData()),
            0);
    } else
        ASSERT_EQ(kind, "missing");
}

void Site::step(const QString& text)
{
    const QStringList words = text.split(' ');
    const QString& verb = words.at(0);
    if (verb == "offer") {
        offer(words);
    } else if (verb == "save" || verb == "restore") {
        const QString aside = root + '/' + words.at(1);
        for (const QString& from : { desc, sig }) {
            const QString saved = aside + '.' + QFileInfo(from).fileName();
            writeFile(verb == "save" ? saved : from, readAll(verb == "save" ? from : saved));
        }
    } else if (verb == "land") {
        const Outcome run = deploy();
        ASSERT_EQ(run.code, 0) << s(run.log);
    } else if (verb == "desc") {
        writeFile(desc, readAll(desc).replace(words.at(1).toUtf8(), words.at(2).toUtf8()));
    } else if (verb == "sig") {
        QList<QByteArray> lines = readAll(sig).split('\n');
        QByteArray& line = lines[words.at(1).toInt() - 1];
        const int at = words.at(2).toInt();
        line[at] = line.at(at) == 'A' ? 'B' : 'A';
        writeFile(sig, lines.join('\n'));
    } else if (verb == "rekey") {
        QList<QByteArray> lines = readAll(sig).split('\n');
        QByteArray field = QByteArray::fromBase64(lines.at(1));
        field.replace(
            2, 8, QByteArray::fromBase64(readAll(root + "/k/a.pub").split('\n').at(1)).mid(2, 8));
        lines[1] = field.toBase64();
        writeFile(sig, lines.join('\n'));
    } else if (verb == "revoke") {
        writeFile(root + "/keys/revoked",
            "# gone\n" + keyId(words.at(1).toLatin1().constData()).toLatin1() + "\n");
    } else if (verb == "sigfile") {
        signatureFile(words.at(1));
    } else if (text == "state fifo") {
        const QString path = TSequenceState(root + "/state", home).path();
        QDir().mkpath(root + "/state");
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else if (verb == "state") {
        const QString sum = words.value(2) == "same"
            ? QString::fromLatin1(
                QCryptographicHash::hash(readAll(desc), QCryptographicHash::Sha256).toHex())
            : QString(64, '0');
        QString record = words.size() > 3 ? words.mid(2).join(' ')
                                          : "sequence " + words.at(1) + "\nsha256 " + sum + '\n';
        writeFile(
            TSequenceState(root + "/state", home).path(), record.replace("\\n", "\n").toUtf8());
    } else if (verb == "nokeys") {
        QFile::remove(root + "/keys/a.pub");
    } else {
        FAIL() << "unknown step " << s(text);
    }
}

// ---- Refusals ----------------------------------------------------------------------------------

const struct Refusal {
    const char* name;
    std::vector<const char*> steps;
    const char* error; // the run's "Error: " line
} refusals[] = {
    { "ByteChangedInTheDescription", { "offer 2", "desc a.txt b.txt" },
        "Error: signature of '%D' does not verify with key %A" },
    { "ByteChangedInTheSignature", { "offer 2", "sig 2 40" },
        "Error: signature of '%D' does not verify with key %A" },
    { "ByteChangedInTheTrustedComment", { "offer 2", "sig 3 20" },
        "Error: signature of '%D' has a trusted comment that does not verify with key %A" },
    { "ByteChangedInTheGlobalSignature", { "offer 2", "sig 4 30" },
        "Error: signature of '%D' has a trusted comment that does not verify with key %A" },
    { "WrongKeyUnderATrustedKeyId", { "offer 2 b", "rekey a" },
        "Error: signature of '%D' does not verify with key %A" },
    { "UnknownKeyId", { "offer 2 b" }, "Error: signature of '%D' is by unknown key %B" },
    { "RevokedKeyId", { "offer 2", "revoke a" }, "Error: signature of '%D' is by revoked key %A" },
    { "MissingSignature", { "offer 2 -" },
        "Error: signature of '%D' cannot be read: open '%D.minisig' failed: No such file or "
        "directory" },
    { "TruncatedSignature", { "offer 2", "sigfile cut" },
        "Error: signature of '%D' is malformed: 2 lines instead of 4" },
    { "EmptySignature", { "offer 2", "sigfile empty" },
        "Error: signature of '%D' is malformed: the file is empty" },
    { "HugeSignature", { "offer 2", "sigfile huge" },
        "Error: signature of '%D' cannot be read: read '%D.minisig' failed: File too large" },
    { "FifoSignature", { "offer 2", "sigfile fifo" },
        "Error: signature of '%D' cannot be read: open '%D.minisig' failed: Not a regular file" },
    { "LinkedSignature", { "offer 2", "sigfile link" },
        "Error: signature of '%D' cannot be read: open '%D.minisig' failed: Too many levels of "
        "symbolic links" },
    { "SignedDescriptionWithoutSequence", { "offer none" },
        "Error: no setting 'sequence' in '%D'" },
    { "Downgrade", { "offer 4", "state 5" }, "Error: sequence 4 is older than the installed 5" },
    { "ReplayOfAnOlderSignedPackage",
        { "offer 1", "save p1", "land", "offer 2", "land", "restore p1" },
        "Error: sequence 1 is older than the installed 2" },
    { "SameSequenceFromAnotherDescription", { "offer 3", "state 3" },
        "Error: sequence 3 is installed already from another description" },
    { "DamagedStateFile", { "offer 3", "state 3 sequence 3\\n" },
        "Error: state file '%S' is damaged" },
    { "StateFileThatIsAFifo", { "offer 3", "state fifo" },
        "Error: open '%S' failed: Not a regular file" },
};

void PrintTo(const Refusal& row, std::ostream* out) { *out << row.name; }

class Refused : public testing::TestWithParam<Refusal> {
protected:
    void SetUp() override
    {
        if (minisign().isEmpty())
            GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    }
};

TEST_P(Refused, LeavesEverythingAsItWasAndSaysWhy)
{
    Site site;
    for (const char* step : GetParam().steps) {
        site.step(QString::fromUtf8(step));
        if (HasFatalFailure())
            return;
    }
    site.startProgram();
    const QStringList before = site.snapshot();
    const Outcome run = site.deploy();
    SCOPED_TRACE(s(run.log));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.log.split('\n').contains(site.fill(GetParam().error)))
        << "missing: " << s(site.fill(GetParam().error));
    EXPECT_EQ(s(site.snapshot().join('\n')), s(before.join('\n')));
    EXPECT_TRUE(site.programRuns()) << "the package's program was stopped";
}

INSTANTIATE_TEST_SUITE_P(Signatures, Refused, testing::ValuesIn(refusals),
    [](const testing::TestParamInfo<Refusal>& row) { return std::string(row.param.name); });

// ---- Runs that land --------------------------------------------------------------------------

const struct Landing {
    const char* name;
    std::vector<const char*> steps;
    const char* arguments; // more arguments, separated by blanks
    std::vector<const char*> lines; // log lines that must appear
    quint64 stored; // the sequence stored afterwards
} landings[] = {
    { "SignedByMinisignLands", { "offer 2" }, "",
        { "Info: signature of '%D' verified with key %A", "Info: sequence 2, none installed" }, 2 },
    { "LegacySignatureByMinisignLands", { "offer 2 a legacy" }, "",
        { "Info: signature of '%D' verified with key %A" }, 2 },
    { "NewerSequenceLands", { "offer 1", "land", "offer 7" }, "",
        { "Info: sequence 7 is newer than the installed 1" }, 7 },
    { "ResumeAtTheSameSequenceLands", { "offer 3", "state 3 same" }, "",
        { "Info: sequence 3 is the installed one: the same description, resumed" }, 3 },
    { "DowngradeForcedByTheOperatorLands", { "offer 4", "state 5" }, "-allow-downgrade",
        { "Warning: sequence 4 is older than the installed 5, allowed by -allow-downgrade" }, 4 },
    { "UnsignedWithoutTrustedKeysLandsWithOneWarning", { "nokeys", "offer 2 -" }, "",
        { "Warning: '%D' is not signed" }, 2 },
    { "RevokedOtherKeyDoesNotMatter", { "offer 2", "revoke b" }, "",
        { "Info: signature of '%D' verified with key %A" }, 2 },
};

void PrintTo(const Landing& row, std::ostream* out) { *out << row.name; }

class Lands : public testing::TestWithParam<Landing> {
protected:
    void SetUp() override
    {
        if (minisign().isEmpty())
            GTEST_SKIP() << "minisign is not installed (Debian package minisign)";
    }
};

TEST_P(Lands, InstallsThePackageAndStoresItsSequence)
{
    Site site;
    for (const char* step : GetParam().steps) {
        site.step(QString::fromUtf8(step));
        if (HasFatalFailure())
            return;
    }
    const QByteArray sum
        = QCryptographicHash::hash(readAll(site.desc), QCryptographicHash::Sha256).toHex();
    site.startProgram();
    const Outcome run
        = site.deploy(QString::fromUtf8(GetParam().arguments).split(' ', Qt::SkipEmptyParts));
    SCOPED_TRACE(s(run.log));
    EXPECT_EQ(run.code, 0);
    const QStringList lines = run.log.split('\n');
    for (const char* line : GetParam().lines)
        EXPECT_TRUE(lines.contains(site.fill(line))) << "missing: " << s(site.fill(line));
    EXPECT_EQ(lines.filter("is not signed").size(),
        GetParam().lines.at(0) == std::string("Warning: '%D' is not signed") ? 1 : 0);
    expectTree(site.home, "a.txt=new_a old.txt- upgrade/desc.json-");
    EXPECT_EQ(readAll(site.fill("%S")),
        "sequence " + QByteArray::number(GetParam().stored) + "\nsha256 " + sum + '\n');
    EXPECT_FALSE(site.programRuns()) << "the removed program still runs";
}

INSTANTIATE_TEST_SUITE_P(Signatures, Lands, testing::ValuesIn(landings),
    [](const testing::TestParamInfo<Landing>& row) { return std::string(row.param.name); });

TEST_F(Lands, CheckTellsTheVerdictsAndChangesNothing)
{
    Site site;
    for (const char* step : { "offer 1", "land", "offer 2" })
        site.step(step);
    const QStringList before = site.snapshot();
    const Outcome run = site.deploy({ "-check" });
    SCOPED_TRACE(s(run.log));
    EXPECT_EQ(run.code, 0);
    const QStringList lines = run.log.split('\n');
    for (const char* line :
        { "Check: signature of '%D' verified with key %A",
            "Check: sequence 2 is newer than the installed 1", "Check: record sequence 2 in '%S'" })
        EXPECT_TRUE(lines.contains(site.fill(line))) << "missing: " << line;
    EXPECT_EQ(s(site.snapshot().join('\n')), s(before.join('\n')));
}

// A state directory where nothing can be created (as root, only such a file system refuses) fails
// the store after the files have landed.
TEST_F(Lands, SequenceThatCannotBeStoredKeepsTheDescriptionForTheNextRun)
{
    Site site;
    site.step("offer 2");
    const Outcome run = site.deploy({ "-state=/proc/self/fdinfo" });
    EXPECT_EQ(run.code, 1) << s(run.log);
    const QString name = QFileInfo(site.fill("%S")).fileName();
    EXPECT_EQ(run.log.split('\n')
                  .filter("Error: write state file '/proc/self/fdinfo/" + name + "' failed: ")
                  .size(),
        1)
        << s(run.log);
    expectTree(site.home, "a.txt=new_a");
    EXPECT_TRUE(QFileInfo::exists(site.desc)) << "the description was removed";

    const Outcome again = site.deploy();
    EXPECT_EQ(again.code, 0) << s(again.log);
    EXPECT_TRUE(again.log.split('\n').contains("Info: sequence 2, none installed")) << s(again.log);
    EXPECT_TRUE(readAll(site.fill("%S")).startsWith("sequence 2\n"));
}

// ---- Signing with UpgradeDescribe ------------------------------------------------------------

TEST_F(Lands, DescriptionSignedByUpgradeDescribeVerifiesWithMinisignAndLands)
{
    Site site;
    writeFile(site.home + "/upgrade/new/a.txt", "new_a");
    const Outcome described = runBuilt(UPGRADE_DESCRIBE_BIN,
        { site.home + "/upgrade/new", "-remove=old.txt", "-sequence=5", "-out=" + site.desc,
            "-sign=" + site.root + "/k/a.sec" });
    ASSERT_EQ(described.code, 0) << s(described.log);
    QProcess verify;
    verify.start(minisign(), { "-V", "-p", site.root + "/k/a.pub", "-m", site.desc });
    verify.waitForFinished(60000);
    const QString said = QString::fromUtf8(verify.readAllStandardOutput());
    EXPECT_EQ(verify.exitCode(), 0) << s(said);
    EXPECT_TRUE(said.contains("Signature and comment signature verified")) << s(said);
    EXPECT_TRUE(said.contains("Trusted comment: sequence:5\tfile:desc.json\thashed")) << s(said);

    const Outcome run = site.deploy();
    EXPECT_EQ(run.code, 0) << s(run.log);
    EXPECT_TRUE(
        run.log.split('\n').contains(site.fill("Info: signature of '%D' verified with key %A")))
        << s(run.log);
    expectTree(site.home, "a.txt=new_a old.txt-");
}

const struct DescribeFailure {
    const char* name;
    const char* arguments; // after the directory, separated by blanks; %O is the document
    const char* error; // the standard error
} describeFailures[] = {
    { "SignWithoutOutFile", "-sequence=1 -sign=%R/k/a.sec",
        "UpgradeDescribe: -sign= needs -out= and -sequence= (try --help)" },
    { "SignWithoutSequence", "-out=%O -sign=%R/k/a.sec",
        "UpgradeDescribe: -sign= needs -out= and -sequence= (try --help)" },
    { "SequenceZero", "-sequence=0 -out=%O",
        "UpgradeDescribe: -sequence= needs a whole number from 1 up, not '0'" },
    { "SequenceWithLeadingZero", "-sequence=07 -out=%O",
        "UpgradeDescribe: -sequence= needs a whole number from 1 up, not '07'" },
    { "SequenceBeyond64Bits", "-sequence=18446744073709551616 -out=%O",
        "UpgradeDescribe: -sequence= needs a whole number from 1 up, not '18446744073709551616'" },
    { "EncryptedSecretKey", "-sequence=1 -out=%O -sign=%R/k/encrypted.sec",
        "UpgradeDescribe: secret key '%R/k/encrypted.sec' cannot be used: the key is encrypted "
        "(make it with \"minisign -G -W\")" },
    { "PublicKeyForSecretKey", "-sequence=1 -out=%O -sign=%R/k/a.pub",
        "UpgradeDescribe: secret key '%R/k/a.pub' cannot be used: line 2 is not the base64 of 158 "
        "bytes" },
    { "MissingSecretKey", "-sequence=1 -out=%O -sign=%R/k/none.sec",
        "UpgradeDescribe: open '%R/k/none.sec' failed: No such file or directory" },
    { "SecretKeyThatIsAFifo", "-sequence=1 -out=%O -sign=%R/k/fifo.sec",
        "UpgradeDescribe: open '%R/k/fifo.sec' failed: Not a regular file" },
};

TEST_F(Lands, UpgradeDescribeRefusesToSignWithoutWhatASignatureNeeds)
{
    Site site;
    writeFile(site.home + "/upgrade/new/a.txt", "new_a");
    QList<QByteArray> lines = readAll(site.root + "/k/a.sec").split('\n');
    QByteArray field = QByteArray::fromBase64(lines.at(1));
    lines[1] = field.replace(2, 2, "Sc").toBase64();
    writeFile(site.root + "/k/encrypted.sec", lines.join('\n'));
    ASSERT_EQ(::mkfifo(QFile::encodeName(site.root + "/k/fifo.sec").constData(), 0600), 0);
    for (const DescribeFailure& row : describeFailures) {
        SCOPED_TRACE(row.name);
        const QString arguments = site.fill(row.arguments).replace("%O", site.desc);
        const Outcome run = runBuilt(UPGRADE_DESCRIBE_BIN,
            QStringList { site.home + "/upgrade/new" } << arguments.split(' '));
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(s(run.log), s(site.fill(row.error) + '\n'));
        EXPECT_FALSE(QFileInfo::exists(site.desc) || QFileInfo::exists(site.sig));
    }
}

} // namespace
