// SPDX-License-Identifier: MIT
// The journal of an all-or-nothing run: what the run will change, and how to know its own work.
//
// A replaced file keeps its backup "<path>.tmp" until the whole upgrade is in; a file installed
// where there was none leaves no backup. After a power cut neither tells by itself whether this
// run made it: an application may keep a "settings.json.tmp" of its own, and a freshly installed
// file looks like one that was there all along. So, before its first change, the run writes to a
// small journal beside the description, and flushes to disk, one entry for every file it will put
// in place: the installed file it will back up (device and inode, which the backup keeps), and
// the new file the rename will put at the target (device and inode, which a rename keeps; or,
// for a new file that will be copied because it lies on another file system or has other names,
// the SHA-256 of its contents).
//
// Undoing then acts only on what the journal owns: a backup is put back only when it is the very
// installed file recorded, and only over a target that is missing or still holds the recorded new
// file; a fresh file is removed only while it is the recorded new file. The journal is tied to the
// text of its description by that text's SHA-256: a journal of another description is ignored.
//
// On disk (JSON, written whole under a temporary name created exclusively, fsynced, renamed over
// the journal, then the directory fsynced):
//   {"description-sha256": "<64 hex digits>",
//    "entries": [{"path": "<path as the description gives it>",
//                 "old": "<device>:<inode>",      (absent: nothing was installed)
//                 "new": "<device>:<inode>",      (absent when "new-sha256" is given)
//                 "new-sha256": "<64 hex digits>",
//                 "backup": "<the backup's file name>"}, ...]}
//   The backup's name is "<name>.tmp" unless that would not fit NAME_MAX (see besideName); an
//   entry without it (or with an empty one) stands for "<name>.tmp" shortened alike.
// Invariants: the journal on disk holds an entry for every path before the run changes anything
// at that path; an entry is never changed once written (a resumed run of the same description
// keeps the entries of the cut-off one and adds entries only for paths that have none); the
// journal goes only once every file has landed or every entry has been undone.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <sys/types.h>

// A file as the system knows it: one inode of one file system.
struct TFileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool isSet() const { return inode != 0; }
    // Files are compared within the directory of one path, whose file system is the one recorded;
    // but a device number may change across the reboot that follows a power cut (devices are
    // numbered as they are found), so only the inode is compared.
    bool operator==(const TFileId& other) const { return inode == other.inode; }
};

struct TJournalEntry {
    QString path; // as the description gives it
    TFileId old; // the installed file the backup keeps; unset: nothing was installed
    TFileId fresh; // the new file the rename puts at the target; unset when it is copied
    QByteArray freshSha256; // the contents of a new file that is copied, as hex digits
    QByteArray backupName; // the backup's name in the target's directory ("<name>.tmp" or shorter)
};

class TInstallJournal {
public:
    // The journal kept beside the description |descPath|, descPath + ".journal", tied to the
    // description text whose SHA-256 is |descSha256| (hex digits).
    TInstallJournal(const QString& descPath, const QByteArray& descSha256);

    QString path() const { return m_path; }

    // Reads the journal a cut-off run left. A missing journal is an empty one. On false, |error|
    // holds the reason (unreadable, malformed, or of another description) and the journal is
    // empty: it owns nothing.
    bool load(QString& error);

    // The entry of |path|, or nullptr.
    const TJournalEntry* find(const QString& path) const;

    // True when the entry of |path| was read by load(): a cut-off run of this description wrote
    // it, and may have made its backup.
    bool isFromCutOffRun(const QString& path) const
    {
        return m_index.value(path, m_loaded) < m_loaded;
    }

    // Adds the entries for paths that have none yet and writes the whole journal to disk before
    // returning. On false, |error| holds the reason and the journal on disk is as it was (a
    // temporary file may be left, which the next write or remove() drops).
    bool record(const QVector<TJournalEntry>& entries, QString& error);

    // Removes the journal, and a temporary one a cut-off write left, from disk. True when both
    // are gone (or were never there).
    bool remove() const;

private:
    QByteArray text() const;
    bool write(QString& error) const;
    bool parse(const QString& text);

    QString m_path;
    QByteArray m_descSha256;
    QVector<TJournalEntry> m_entries;
    QHash<QString, int> m_index; // path -> position in m_entries
    int m_loaded = 0; // the entries before this position were read by load()
};
