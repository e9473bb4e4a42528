// SPDX-License-Identifier: MIT
// The replacement of one installed file by a new one, through a ".tmp" backup of the installed
// file.
#pragma once

#include <QDateTime>
#include <QString>

// What to put where, and what the installed file must look like afterwards.
struct TReplacement {
    QString source; // the new file, in the new-arrival directory
    QString target; // the installed path under the home directory
    QString homeDir; // as given, for the messages
    bool executable = false; // give the installed file mode 0775
    QDateTime modifiedTime; // applied when valid
};

// Moves |r.source| to |r.target|, keeping the installed file at "<target>.tmp" until the new one
// is in. The target's directory must exist. Returns an empty text on success, otherwise the
// reason of the failure; warnings the replacement survives are logged.
QString replaceFile(const TReplacement& r);

// Sets the modification time of |filePath| to |modifiedTime| and its access time to now.
bool setFileTime(const QString& filePath, const QDateTime& modifiedTime);
