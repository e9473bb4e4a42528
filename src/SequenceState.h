// SPDX-License-Identifier: MIT
// The sequence of the package installed in a home directory, kept outside it: one small file per
// home directory in the state directory, "sequence <n>\nsha256 <64 hex digits>\n", replaced
// atomically and synced. A description's "sequence" only grows; the stored one tells which package
// landed last, and the description's SHA-256 tells a resumed run of it from another package that
// bears the same number.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

struct TSequenceRecord {
    quint64 sequence = 0;
    QByteArray sha256; // 64 lower-case hexadecimal digits, of the description's bytes
};

// A description at |sequence| against what is installed.
enum class TSequenceCheck {
    First, // nothing is recorded for this home directory
    Newer,
    Resumed, // the same sequence and the same description
    Older,
    Replaced, // the same sequence, another description
};

TSequenceCheck compareSequence(
    const TSequenceRecord& offered, bool installedKnown, const TSequenceRecord& installed);

class TSequenceState {
public:
    // The record of |homeDir| (its real path, or its cleaned absolute form when it has none)
    // under |stateDir|.
    TSequenceState(const QString& stateDir, const QString& homeDir);

    QString path() const { return m_path; }

    // Reads the record. A missing file gives |found| false and true. A file that is no regular
    // file, is larger than a record or does not hold exactly one is an error, never a record of 0.
    bool load(bool& found, TSequenceRecord& record, QString& error) const;

    // Replaces the record with |record|, on disk when this returns true (the state directory is
    // made when missing, its parent is not).
    bool store(const TSequenceRecord& record, QString& error) const;

private:
    QString m_stateDir;
    QString m_path;
};
