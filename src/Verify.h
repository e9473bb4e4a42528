// SPDX-License-Identifier: MIT
// The checksums of a description: every new file that carries one is verified before anything of
// the installed application is touched.
#pragma once

#include "FileReplacement.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

class TReadyFile;

struct TVerification {
    int verified = 0; // the records whose checksum held
    // Indexes of the records whose new file is gone but whose installed file already has the
    // described checksum: a run that was cut off had put them in place.
    QSet<int> inPlace;
    // The new file each verified record's checksum was read from: the deployment moves that file
    // and no other.
    QHash<int, TVerifiedFile> hashed;
};

// True when at least one record carries a checksum.
bool hasChecksums(const QList<TReadyFile>& files);

// Checks every record that carries a checksum, in list order, against its new file
// (newFileLoc + "/" + path) or, when that is gone, against its installed file. False at the first
// failure, with |error| set: "sha256 of '<path>' is malformed", "sha256 of '<source>' mismatch",
// "'<source>' not exists", "'<source>' is not a regular file", "'<path>' is outside the
// new-arrival directory" (its real directory is elsewhere: nothing of it is read), or the reason
// the file could not be read.
bool verifyChecksums(const QList<TReadyFile>& files, const QString& newFileLoc,
    const QString& homeDir, TVerification& result, QString& error);
