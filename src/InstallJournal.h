// SPDX-License-Identifier: MIT
// The journal of an all-or-nothing run: the files it installs where there was no file before.
//
// A replaced file leaves its backup "<path>.tmp" until the whole upgrade is in, and the backup
// tells a later run what to put back. A file installed where there was none leaves no backup, and
// after a power cut it looks exactly like a file that was there all along. So, before its first
// rename, the run writes those paths to a small journal beside the description and flushes it to
// disk. A run cut off at any instant thus leaves, for every file it may have put in place, either
// a backup or a journal entry; the run started again with the same description undoes exactly
// those files when it fails, and drops the journal once the upgrade has landed whole or has been
// undone.
#pragma once

#include <QString>
#include <QStringList>

class TInstallJournal {
public:
    // The journal kept beside the description |descPath|: descPath + ".journal".
    explicit TInstallJournal(const QString& descPath);

    QString path() const { return m_path; }

    // Reads the journal a cut-off run left. A missing journal is an empty one. On false, |error|
    // holds the reason and the journal is empty.
    bool load(QString& error);

    // True when |path| (as the description gives it) is recorded as installed where there was
    // no file before.
    bool contains(const QString& path) const { return m_fresh.contains(path); }

    // Adds |paths| to the journal and, when that adds any, writes the whole journal and flushes it
    // to disk before returning: a temporary file beside it, written, fsync'ed and renamed over
    // the journal, whose directory is then fsync'ed. On false, |error| holds the reason and the
    // journal on disk is as it was.
    bool record(const QStringList& paths, QString& error);

    // Removes the journal, and a temporary one a cut-off write left, from disk. True when both
    // are gone (or were never there).
    bool remove() const;

private:
    bool write(QString& error) const;

    QString m_path;
    QStringList m_fresh;
};
