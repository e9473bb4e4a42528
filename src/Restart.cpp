// SPDX-License-Identifier: MIT
#include "Restart.h"

#include "HomePath.h"
#include "ProgramStart.h"
#include "RunLog.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QStringList>

namespace {

// The application's keeper, in its home directory. Without "-gui" the run does not start the
// application's programs itself: it hands each one to the keeper, which starts and watches it.
const QLatin1String keeperProgram("/QuorvelKeeper");
// Two application names are launchers whose program files bear other names: started directly
// ("-gui"), they start these files of the same directory.
const struct {
    QLatin1String launcher, program;
} mappedPrograms[] = { { QLatin1String("BrivaneService"), QLatin1String("/QuorvelService") },
    { QLatin1String("Brivane"), QLatin1String("/QuorvelBox") } };
const QLatin1String restartArgument("-restart");
const QLatin1String entrustArgument("-entrust=");

// One program the run starts at its end.
struct TStart {
    QString program;
    QStringList arguments;
    QByteArray what; // the subject of its "Info: ... ok" / "Warning: ... failed" line
    bool byKeeper = false;
    // The file that starts, or that the keeper is asked to start, relative to the home
    // directory: nothing is started when it leads outside.
    QString confined;
};

QByteArray quoted(const QString& text) { return '\'' + logText(text) + '\''; }

// A program outside the home directory, by its name or through a link, is never started: an
// application name or a restart program must not make the run start /bin/sh.
bool leadsOutside(const QString& homeDir, const TStart& planned)
{
    const THomePath place(homeDir, planned.confined);
    int error = 0;
    if (place.isInsideHome() && place.resolveWhole(error) != TPlace::Outside)
        return false;
    logLine("Warning: " + planned.what + " failed: " + quoted(planned.confined)
        + " is outside the home directory");
    return true;
}

TStart applicationStart(const TRestart& r, const QString& name)
{
    const THomePath place(r.homeDir, name);
    const QFileInfo target(place.target());
    if (r.gui) {
        QString program = place.target(), started = name;
        for (const auto& mapped : mappedPrograms) {
            if (target.completeBaseName() == mapped.launcher) {
                program = target.absolutePath() + mapped.program;
                started = QDir::cleanPath(QFileInfo(name).path() + mapped.program);
            }
        }
        return { program, { restartArgument }, "restart " + quoted(program), false, started };
    }
    // Relative to the cleaned home directory, so that "/opt/app", "/opt/app/" and "." run from
    // /opt/app entrust the same name.
    const QString entrusted = QDir(place.home()).relativeFilePath(target.absoluteFilePath());
    return { r.homeDir + keeperProgram, { restartArgument, entrustArgument + entrusted },
        "restart " + quoted(target.absoluteFilePath()) + "(by keeper)", true, name };
}

// The programs to start, in order: the applications named by "-appname=" (directly or through the
// keeper), else the restart program of conf.json, else none.
QList<TStart> plannedStarts(const TRestart& r)
{
    QList<TStart> starts;
    if (r.appName.isEmpty()) {
        // An absolute path in conf.json is compared as the path it is under the home directory.
        const QString home = THomePath(r.homeDir, QString()).home();
        const QString relative
            = QDir(home).relativeFilePath(QFileInfo(r.restartProgram).absoluteFilePath());
        if (!r.restartProgram.isEmpty())
            starts.append({ r.restartProgram, { restartArgument },
                "restart-program " + quoted(r.restartProgram), false, relative });
        return starts;
    }
    const QStringList names = r.appName.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& name : names) {
        if (!name.isEmpty())
            starts.append(applicationStart(r, name));
    }
    return starts;
}

} // namespace

void restartApplication(const TRestart& restart)
{
    const QString workingDir = THomePath(restart.homeDir, QString()).home();
    const QList<TStart> starts = plannedStarts(restart);
    for (const TStart& planned : starts) {
        if (leadsOutside(restart.homeDir, planned))
            continue;
        if (restart.checkOnly) {
            QByteArray line = "Check: start " + quoted(planned.program);
            for (const QString& argument : planned.arguments)
                line += ' ' + logText(argument);
            logLine(line);
            continue;
        }
        if (planned.byKeeper)
            logLine("Debug: keeper " + quoted(planned.program));
        int error = 0;
        logOutcome(
            startDetached(planned.program, planned.arguments, workingDir, error), planned.what);
    }
}
