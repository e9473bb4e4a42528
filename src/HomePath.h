// SPDX-License-Identifier: MIT
// The rules of a path under the application's home directory: where it leads and what the file
// placed there is (a program to stop first, an executable).
#pragma once

#include <QString>

// The path rules of a file under the application's home directory. |homeDir| and |path| are kept
// exactly as given for the paths that messages show; the classification compares cleaned absolute
// forms, so "/opt/app", "/opt/app/" and "." run from /opt/app classify every file alike.
class THomePath {
public:
    THomePath(const QString& homeDir, const QString& path);

    // homeDir + "/" + path, as composed.
    QString target() const { return m_target; }
    // The cleaned absolute form of the home directory.
    QString home() const { return m_home; }
    // True when the cleaned absolute target lies strictly inside the home directory.
    bool isInsideHome() const;
    // Runs as a process: directly in the home directory without suffix, or anywhere under ext/
    // or upgrade/.
    bool isStoppable() const;
    // Gets mode 0775: a stoppable file, or a ".so" or ".sh" file directly in the home directory.
    bool isExecutable() const;

private:
    bool isDirectlyInHome() const;
    bool isUnder(const QString& subdir) const;
    QString homePrefix() const;

    QString m_target;
    QString m_home;
    QString m_absoluteTarget;
    QString m_suffix;
};
