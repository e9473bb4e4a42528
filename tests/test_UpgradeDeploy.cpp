// SPDX-License-Identifier: MIT
// The two document loaders, against real documents in temporary directories.
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

#include <string>

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

} // namespace
