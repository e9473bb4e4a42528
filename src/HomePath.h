// SPDX-License-Identifier: MIT
// The rules of a path under the application's home directory: where it leads, whether the run may
// act on it, and what the file placed there is (a program to stop first, an executable).
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

// Where the real directory that holds a path turned out to be.
enum class TPlace {
    Ok, // inside the real root directory, or the root itself
    Outside, // somewhere else once every link is resolved: the run must not act there
    Missing, // a directory on the way does not exist
    Failed, // the path cannot be resolved (not a directory, a loop of links, no permission)
};

// An open directory that holds the file an operation acts on.
struct TDirAt {
    int fd = -1;
    dev_t device = 0;
    // Created by this run: nothing that an earlier, cut-off run left can be in it.
    bool madeByRun = false;
};

// A name in an open directory: where every operation on one file of a run acts. The name is never
// followed when it is a link.
struct TFileAt {
    TDirAt dir;
    QByteArray name;
};

// The path rules of a file under a root directory: the application's home directory, or the
// new-arrival directory for a new file. |homeDir| and |path| are kept exactly as given for the
// paths that messages show; the classification compares cleaned absolute forms, so "/opt/app",
// "/opt/app/" and "." run from /opt/app classify every file alike.
//
// Confinement: every file operation of a run acts on the last component of the target through a
// descriptor of the real directory that holds it (openDir), never through the path, and only when
// that directory lies inside the real root directory or is it. The last component itself is never
// followed: a link there is replaced or removed as a link.
class THomePath {
public:
    THomePath(const QString& homeDir, const QString& path);

    // homeDir + "/" + path, as composed.
    QString target() const { return m_target; }
    // The cleaned absolute form of the home directory.
    QString home() const { return m_home; }
    // The cleaned absolute form of the target: two paths that name one file have the same one.
    QString absoluteTarget() const { return m_absoluteTarget; }
    // The cleaned absolute directory part of the target, as messages name it.
    QString targetDir() const;
    // True when the cleaned absolute target lies strictly inside the home directory. This lexical
    // test comes first; openDir() then checks the real directory.
    bool isInsideHome() const;
    // Runs as a process: directly in the home directory without suffix, or anywhere under ext/
    // or upgrade/.
    bool isStoppable() const;
    // Gets mode 0775: a stoppable file, or a ".so" or ".sh" file directly in the home directory.
    bool isExecutable() const;

    // The last component of the target as the system sees it.
    QByteArray name() const { return m_name; }
    // True when the last component can only name a directory: empty (a trailing "/"), "." or "..".
    bool nameIsDirectory() const;

    // Opens the directory that holds the target, resolving every link on the way as the system
    // does, and returns Ok only when it is the real home directory or lies inside it. With
    // |create|, missing directories are made one at a time, each inside a directory already
    // confined (mkdirat), so nothing is ever created through a link. On Ok, |dir| stays valid
    // until the next openDir() for the same home directory (the run's directories are kept open
    // between files); on Missing or Failed, |error| holds the errno.
    TPlace openDir(bool create, TDirAt& dir, int& error) const;
    // openDir(), and the last component to act on beside it.
    TPlace openAt(bool create, TFileAt& at, int& error) const;
    // What to do with missing directories: make them, leave them (Missing), or tell whether
    // making them would succeed (Missing) or lead out of the root (Outside), as a plan must.
    enum class TDirs { Make, Leave, Plan };
    TPlace openAt(TDirs dirs, TFileAt& at, int& error) const;
    // Looks at what stands at the target, confined and without following a link at the last
    // component: Ok with |st| filled, Missing when nothing stands there (or a directory on the
    // way is missing or is no directory), Outside, or Failed with |error| holding the errno.
    TPlace lookAt(TFileAt& at, struct stat& st, int& error) const;

    // Where the whole target leads when every link is followed, its last component's included,
    // as starting a program there follows them: Ok when it lands inside the real root directory
    // (whatever the file is), Outside, Missing, or Failed with |error| holding the errno.
    TPlace resolveWhole(int& error) const;

private:
    bool isDirectlyInHome() const;
    bool isUnder(const QString& subdir) const;
    QString homePrefix() const;

    QString m_homeDir;
    QString m_target;
    QString m_home;
    QString m_absoluteTarget;
    QString m_suffix;
    QByteArray m_dirPart; // relative to the home directory, without a leading "/"
    QByteArray m_name;
};

// Resolution uses openat2(RESOLVE_BENEATH) where the kernel has it and realpath() otherwise. The
// tests turn the former off to run the latter on every kernel.
void setBeneathResolution(bool enabled);
