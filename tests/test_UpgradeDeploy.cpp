// SPDX-License-Identifier: MIT
// The two document loaders and the verification of checksums, against real documents and files in
// temporary directories.
#include "UpgradeCommon.h"
#include "UpgradeDeploy.h"
#include "Verify.h"
#include "support.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtGlobal>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

namespace {

using namespace testsupport;

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
    { LD("'a\\nError: x'", "'d'") "}}}",
        PARSED "NewFileLoc: '%H/a\\nError: x/'\nNewFileDesc: '%H/d'\n"
               "Warning: no setting 'upgrade.deploy' in 'conf.json'\nok",
        "%H/a\nError: x/|%H/d|" },
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

// With no trusted key installed (none is on a build machine) a description is read unsigned.
#define DLOADED "Info: file-desc loaded\nWarning: '%H/files.json' is not signed\n"

// document, outcome, records (path[@modified-time][#sha256],...);removal list
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
    { "{'files-ex':[{'path':'c'}],'files':['a','b']}", DLOADED "ok", "a,b,c;" },
    { "{'files':['lib//b','a','/./a','lib/b','../a','../a','',''],'files-ex':[{'path':'a'}]}",
        DLOADED "Warning: '/./a' is listed more than once\n"
                "Warning: 'lib/b' is listed more than once\n"
                "Warning: 'a' is listed more than once\nok",
        "lib//b,a,../a,../a,,;" },
    { "{'files':'s','files-ex':'t'}", DLOADED "fail: setting 'files' format error", ";" },
    { "{'files':['k'],'files-ex':{}}", DLOADED "fail: setting 'files-ex' format error", "k;" },
    { "{'files-remove':'r'}", DLOADED "fail: setting 'files-remove' format error", ";" },
    { "{'files-remove':['a',3,'a'],'files':[]}", DLOADED "ok", ";a,3,a" },
    { "\xEF\xBB\xBF{'files':['bin/\xC3\xBC']}", DLOADED "ok", "bin/\xC3\xBC;" },
    { "{'files-ex':[{'path':'a','sha256':'AB'},{'path':'b','sha256':null},{'path':'c'}]}",
        DLOADED "ok", "a#AB,b#,c;" }
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
                + (file.modifiedTime.isValid() ? '@' + file.modifiedTime.toString(timeFormat) : "")
                + (file.sha256.isNull() ? "" : '#' + file.sha256);
    EXPECT_EQ(s(paths.join(',') + ';' + removes.join(',')), GetParam().lists);
}
INSTANTIATE_TEST_SUITE_P(Documents, LoadDeployFiles, testing::ValuesIn(descCases));

// A document that is no regular file, or holds nothing, must fail at once: never block, never be
// taken for an upgrade with nothing to do.
struct KindRow {
    const char* name;
    bool conf; // conf.json, else the file description
    const char* kind; // "fifo", "dir", "link" (to a copy of |content|) or "file"
    QByteArray content;
    const char* out;
};
void PrintTo(const KindRow& row, std::ostream* out) { *out << row.name; }

const KindRow kindCases[] = {
    { "ConfFifoFailsAtOnce", true, "fifo", "",
        "fail: open '%H/conf.json' failed: Not a regular file" },
    { "ConfDirectoryFails", true, "dir", "",
        "fail: open '%H/conf.json' failed: Not a regular file" },
    { "ConfLinkToARegularFileIsRead", true, "link", doc(LD("'n'", "'d'") "}}}"),
        PARSED "NewFileLoc: '%H/n/'\nNewFileDesc: '%H/d'\n"
               "Warning: no setting 'upgrade.deploy' in 'conf.json'\nok" },
    { "DescFifoFailsAtOnce", false, "fifo", "",
        "fail: open '%H/files.json' failed: Not a regular file" },
    { "DescDirectoryFails", false, "dir", "",
        "fail: open '%H/files.json' failed: Not a regular file" },
    { "DescLinkToARegularFileIsRead", false, "link", doc("{'files':['a']}"), DLOADED "ok" },
    { "DescOfZeroBytesIsAParseFailure", false, "file", "",
        DLOADED "fail: parse '%H/files.json' failed" },
    { "DescOfWhiteSpaceAndZeroBytesIsAParseFailure", false, "file", QByteArray(" \n\t\0\r\0\n", 7),
        DLOADED "fail: parse '%H/files.json' failed" },
    { "DescOfAByteOrderMarkOnlyIsAParseFailure", false, "file", "\xEF\xBB\xBF",
        DLOADED "fail: parse '%H/files.json' failed" },
};

using DocumentKind = Loader<KindRow>;

TEST_P(DocumentKind, ReadsOnlyRegularFilesThatHoldADocument)
{
    const KindRow& row = GetParam();
    TUpgradeDeploy deploy;
    deploy.homeDir = tmp.path();
    deploy.newFileDesc = tmp.path() + "/files.json";
    const QString path = row.conf ? tmp.path() + "/conf.json" : deploy.newFileDesc;
    const QByteArray name = QFile::encodeName(path);
    if (!qstrcmp(row.kind, "fifo"))
        ASSERT_EQ(::mkfifo(name.constData(), 0600), 0);
    else if (!qstrcmp(row.kind, "dir"))
        ASSERT_TRUE(QDir().mkpath(path));
    else if (!qstrcmp(row.kind, "file"))
        writeFile(path, row.content);
    else {
        writeFile(tmp.path() + "/elsewhere/doc.json", row.content);
        ASSERT_TRUE(QFile::link(tmp.path() + "/elsewhere/doc.json", path));
    }
    QList<TReadyFile> files;
    QStringList removes;
    bool ok = false;
    const std::string log = captured(
        [&] { ok = row.conf ? deploy.loadConfig() : deploy.loadDeployFiles(files, removes); });
    EXPECT_EQ(outcome(log, ok, deploy.errorMsg), s(fill(row.out, tmp.path())));
}
INSTANTIATE_TEST_SUITE_P(Documents, DocumentKind, testing::ValuesIn(kindCases),
    [](const testing::TestParamInfo<KindRow>& row) { return std::string(row.param.name); });

const char shaN[] = "8ce86a6ae65d3692e7305e2c58ac62eebd97d3d943e093f577da25c36988246b";
const char shaO[] = "c4694f2e93d5c4e7d51f9c5deb75e6cc8be5e1114178c6a45b6fc2c566a0aa8c";

// Records as "path" (no checksum) or "path#sha256"; files as "path=content", "path|" (a FIFO) or
// "path->target" (a link, see makeTree) under the temporary root, whose new/ is the new-file
// location and home/ the home directory.
struct VerifyRow {
    const char* name;
    QStringList records;
    QStringList files;
    const char* out;
};
void PrintTo(const VerifyRow& row, std::ostream* out) { *out << row.name; }

#define VERIFIED(n) "State: File-Verify\nInfo: sha256 verified " #n " files\n"

const VerifyRow verifyCases[] = {
    { "MatchingChecksumPasses", { QString("a#") + shaN }, { "new/a=N" }, VERIFIED(1) "ok" },
    { "ChecksumInCapitalsPasses", { QString("a#") + QString(shaN).toUpper() }, { "new/a=N" },
        VERIFIED(1) "ok" },
    { "MismatchEndsTheRun", { QString("a#") + shaO }, { "new/a=N", "home/a=O" },
        "State: File-Verify\nfail: sha256 of '%N/a' mismatch" },
    { "MissingNewFileEndsTheRun", { QString("a#") + shaN }, { "home/b=N" },
        "State: File-Verify\nfail: '%N/a' not exists" },
    { "ShortChecksumIsMalformed", { "a#8ce86a6a" }, { "new/a=N" },
        "State: File-Verify\nfail: sha256 of 'a' is malformed" },
    { "NonHexChecksumIsMalformed", { QString("a#") + QString(shaN).replace('e', 'g') },
        { "new/a=N" }, "State: File-Verify\nfail: sha256 of 'a' is malformed" },
    { "EmptyChecksumIsMalformed", { "a#" }, { "new/a=N" },
        "State: File-Verify\nfail: sha256 of 'a' is malformed" },
    { "InstalledFileWithTheChecksumIsAlreadyInPlace", { "b", QString("a#") + shaN }, { "home/a=N" },
        VERIFIED(1) "ok, in place: 1" },
    { "InstalledFileWithOtherContentsIsNotInPlace", { QString("a#") + shaN }, { "home/a=O" },
        "State: File-Verify\nfail: '%N/a' not exists" },
    { "NewFileThatIsAFifoIsRefusedWithoutWaiting", { QString("a#") + shaN }, { "new/a|" },
        "State: File-Verify\nfail: '%N/a' is not a regular file" },
    { "FirstFailureInListOrderEndsTheRun", { QString("a#") + shaO, "b#x" }, { "new/a=N" },
        "State: File-Verify\nfail: sha256 of '%N/a' mismatch" },
    { "RecordsWithoutChecksumAreNotVerified", { "gone", QString("b#") + shaO }, { "new/b=O" },
        VERIFIED(1) "ok" },
    { "NoChecksumNoVerification", { "gone", "b" }, {}, "ok" },
    { "LinkLeadingOutOfTheArrivalDirectoryIsRefusedUnread", { QString("lib/a#") + shaN },
        { "out/a=N", "new/lib->%R/out" },
        "State: File-Verify\nfail: 'lib/a' is outside the new-arrival directory" },
    { "PathLeavingTheArrivalDirectoryIsRefusedUnread", { QString("../out/a#") + shaN },
        { "out/a=N", "new/b=N" },
        "State: File-Verify\nfail: '../out/a' is outside the new-arrival directory" },
    { "InstalledFileBehindALinkOutOfHomeIsNotInPlace", { QString("lib/a#") + shaN },
        { "out/a=N", "home/lib->%R/out" }, "State: File-Verify\nfail: '%N/lib/a' not exists" },
};

class Verification : public testing::TestWithParam<VerifyRow> {
protected:
    QTemporaryDir tmp;
};

TEST_P(Verification, ChecksNewFilesBeforeAnythingMoves)
{
    TUpgradeDeploy deploy;
    deploy.homeDir = tmp.path() + "/home";
    deploy.newFileLoc = tmp.path() + "/new/";
    QDir().mkpath(deploy.homeDir);
    for (const QString& file : GetParam().files) {
        const QString path = tmp.path() + '/' + file.section(QRegularExpression("[=|]"), 0, 0);
        if (file.endsWith('|')) {
            QDir().mkpath(QFileInfo(path).path());
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (file.contains("->")) {
            makeTree(tmp.path(), file);
        } else {
            writeFile(path, file.section('=', 1).toUtf8());
        }
    }
    QList<TReadyFile> files;
    for (const QString& record : GetParam().records) {
        files.append(TReadyFile(record.section('#', 0, 0)));
        if (record.contains('#'))
            files.last().sha256
                = record.section('#', 1).isEmpty() ? QStringLiteral("") : record.section('#', 1);
    }
    TVerification verification;
    bool ok = false;
    const std::string log = captured([&] { ok = deploy.verifyFiles(files, verification); });
    QStringList inPlace;
    for (const int index : verification.inPlace)
        inPlace << QString::number(index);
    EXPECT_EQ(outcome(log, ok, deploy.errorMsg)
            + (inPlace.isEmpty() ? "" : ", in place: " + s(inPlace.join(','))),
        s(fill(GetParam().out, deploy.homeDir, deploy.newFileLoc)));
}
INSTANTIATE_TEST_SUITE_P(Checksums, Verification, testing::ValuesIn(verifyCases),
    [](const testing::TestParamInfo<VerifyRow>& row) { return std::string(row.param.name); });

// A new file swapped for another, or written over, between its verification and its move is not
// moved: what lands is only ever the file whose checksum held.
TEST(VerifiedMove, FileChangedAfterItsVerificationIsNotMoved)
{
    const struct {
        const char* behaviour;
        bool inPlace; // written over in place (same inode), else another file renamed over it
    } rows[] = { { "another file renamed over it", false }, { "written over in place", true } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        QTemporaryDir tmp;
        TUpgradeDeploy deploy;
        deploy.homeDir = tmp.path() + "/home";
        deploy.newFileLoc = tmp.path() + "/new/";
        writeFile(deploy.homeDir + "/a", "O");
        writeFile(deploy.newFileLoc + "a", "N");
        QList<TReadyFile> files { TReadyFile("a") };
        files[0].sha256 = shaN;
        TVerification verification;
        ASSERT_TRUE(deploy.verifyFiles(files, verification)) << s(deploy.errorMsg);
        if (row.inPlace) {
            writeFile(deploy.newFileLoc + "a", "XX");
        } else {
            writeFile(deploy.newFileLoc + "b", "X");
            ASSERT_TRUE(::rename(QFile::encodeName(deploy.newFileLoc + "b").constData(),
                            QFile::encodeName(deploy.newFileLoc + "a").constData())
                == 0);
        }
        const std::string log
            = withoutRaces(captured([&] { deploy.upgrade(files, QStringList(), verification); }));
        EXPECT_NE(log.find("Warning: '" + s(deploy.newFileLoc)
                      + "/a' changed after its "
                        "verification"),
            std::string::npos)
            << log;
        EXPECT_EQ(readAll(deploy.homeDir + "/a"), "O");
    }
}

// Runs one whole upgrade of |home| in this process, as the program would, and returns its log.
std::string runUpgrade(const QString& home, QByteArray option = {})
{
    QByteArray homeOption = "-homedir=" + QFile::encodeName(home);
    char program[] = "UpgradeDeploy";
    char* argv[]
        = { program, homeOption.data(), option.isEmpty() ? nullptr : option.data(), nullptr };
    int argc = option.isEmpty() ? 2 : 3;
    QCoreApplication app(argc, argv);
    TUpgradeDeploy run;
    return captured([&] { run.start(); });
}

// The notification state files are removed only inside the home directory: a link at the file is
// removed as a link, and a conf/ that leads out of the home directory is not looked into.
TEST(StateFiles, AreRemovedOnlyInsideTheHomeDirectory)
{
    const struct {
        const char *behaviour, *setup, *log, *checks;
    } rows[] = {
        { "a state file inside home is removed", "home/conf/share_notify.json=S",
            "Info: remove file '%H/conf/share_notify.json' ok\n", "home/conf/share_notify.json-" },
        { "a link at the state file is removed as a link",
            "home/data/share_notify.db->%R/out/v out/v=K",
            "Info: remove file '%H/data/share_notify.db' ok\n",
            "home/data/share_notify.db- out/v=K" },
        { "a conf directory that leads out of home is left alone",
            "home/conf->%R/out out/share_notify.json=K",
            "Warning: remove file '%H/conf/share_notify.json' failed\n",
            "out/share_notify.json=K" },
        { "a missing state file is not mentioned", "home/conf/ home/data=F", "", "home/data=F" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        QTemporaryDir tmp;
        const QString root = tmp.path(), home = root + "/home";
        makeTree(root, row.setup);
        writeFile(home + "/conf.json",
            doc("{'upgrade':{'new-arrival':{'file-location':'new','file-desc':'desc.json'}}}"));
        writeFile(home + "/desc.json", "{}");
        QStringList lines = QString::fromStdString(runUpgrade(home)).split('\n');
        lines = lines.filter("share_notify");
        EXPECT_EQ(s(lines.join('\n') + (lines.isEmpty() ? "" : "\n")), s(fill(row.log, home)));
        expectTree(root, row.checks);
    }
}

// The run reads the described times with the local zone pinned for speed; the program it restarts
// must still get the environment the run was given.
TEST(RestartEnvironment, IsTheOneTheRunWasGiven)
{
    const struct {
        const char* behaviour;
        const char* tz; // nullptr: unset
        const char* recorded;
    } rows[] = {
        { "an unset TZ stays unset", nullptr, "unset\n" },
        { "a TZ the caller set is passed on as set", "UTC0", "UTC0\n" },
    };
    const QByteArray saved = qgetenv("TZ");
    const bool wasSet = qEnvironmentVariableIsSet("TZ");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        QTemporaryDir tmp;
        const QString home = tmp.path() + "/home";
        writeFile(home + "/conf.json",
            doc("{'upgrade':{'new-arrival':{'file-location':'new','file-desc':'desc.json'},"
                "'deploy':{'restart':'restart.sh'}}}"));
        writeFile(home + "/desc.json",
            doc("{'files-ex':[{'path':'t.txt','modified-time':'2020-06-01 12:00:00'}]}"));
        writeFile(home + "/new/t.txt", "N");
        writeFile(home + "/restart.sh",
            "#!/bin/sh\necho \"${TZ-unset}\" >\"$0.part\"\nmv \"$0.part\" \"$0.rec\"\n", 0755);
        if (row.tz)
            qputenv("TZ", row.tz);
        else
            qunsetenv("TZ");
        runUpgrade(home);
        EXPECT_EQ(qEnvironmentVariableIsSet("TZ"), row.tz != nullptr);
        for (int i = 0; i < 500 && !QFile::exists(home + "/restart.sh.rec"); ++i)
            QThread::msleep(10);
        EXPECT_EQ(readAll(home + "/restart.sh.rec").toStdString(), row.recorded);
        EXPECT_EQ(statOf(home + "/t.txt").st_mtime,
            QDateTime::fromString("2020-06-01 12:00:00", timeFormat).toSecsSinceEpoch());
    }
    if (wasSet)
        qputenv("TZ", saved);
    else
        qunsetenv("TZ");
}

// A described time lands as the very second it names, or the run says why not, and "-check"
// shows the time the file will really get. Zones are POSIX rules, so no time zone data is needed.
TEST(DescribedTimes, LandExactlyOrAreWarnedAbout)
{
    const QString berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
    const qint64 own = 981173106; // the new file's time: 2001-02-03 04:05:06 UTC
    const struct {
        const char* behaviour;
        QString tz, described;
        qint64 applied; // 0: whatever the file system holds, told by a warning when not exact
        const char* warning;
    } rows[] = {
        { "a time after January 2038 lands as itself", "UTC0", "2040-01-01 00:00:00",
            QDateTime(QDate(2040, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch(), nullptr },
        { "a summer time lands with its offset", berlin, "2026-07-01 12:00:00",
            QDateTime(QDate(2026, 7, 1), QTime(10, 0), Qt::UTC).toSecsSinceEpoch(), nullptr },
        { "a time the change to summer time skips keeps the file's own", berlin,
            "2026-03-29 02:30:00", own,
            "Warning: modified-time '2026-03-29 02:30:00' of 't.txt' does not exist in local "
            "time, the file keeps its own" },
        { "the last second a description can name", "UTC0", "9999-12-31 23:59:59", 0,
            "Warning: change file '%H/t.txt' last modification time failed" },
    };
    const QByteArray saved = qgetenv("TZ");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour);
        qputenv("TZ", row.tz.toLatin1());
        QTemporaryDir tmp;
        const QString home = tmp.path() + "/home";
        writeFile(home + "/conf.json",
            doc("{'upgrade':{'new-arrival':{'file-location':'new','file-desc':'desc.json'}}}"));
        writeFile(home + "/desc.json",
            doc(s("{'files-ex':[{'path':'t.txt','modified-time':'" + row.described + "'}]}")
                    .c_str()));
        writeFile(home + "/new/t.txt", "N");
        setTime(home + "/new/t.txt", QDateTime::fromSecsSinceEpoch(own));

        const QString check = QString::fromStdString(runUpgrade(home, "-check"));
        const QString planned = check.section(", time ", 1).section('\n', 0, 0);
        const QString log = QString::fromStdString(runUpgrade(home));
        const qint64 landed = statOf(home + "/t.txt").st_mtime;
        const qint64 wanted = QDateTime::fromString(row.described, timeFormat).toSecsSinceEpoch();
        EXPECT_EQ(s(planned), s(QDateTime::fromSecsSinceEpoch(landed).toString(timeFormat)));
        const QString warning = fill(row.warning ? row.warning : "", home);
        if (row.applied == 0) {
            // Only a file system whose range ends before that second warns.
            EXPECT_EQ(log.contains(warning), landed != wanted) << s(log);
            continue;
        }
        EXPECT_EQ(landed, row.applied);
        EXPECT_EQ(
            row.warning && log.contains(warning) && check.contains(warning), row.warning != nullptr)
            << s(log);
        EXPECT_FALSE(!row.warning && log.contains(" time")) << s(log);
    }
    qputenv("TZ", saved);
    if (saved.isNull())
        qunsetenv("TZ");
}

} // namespace
