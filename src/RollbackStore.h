// SPDX-License-Identifier: MIT
// The rollback store: the previous version of every file an upgrade replaces or removes, kept
// until the upgrade is committed, so that a rollback can put that version back.
//
// The store is a hidden directory of its own inside the home directory,
// "<home>/.upgrade-rollback/", flat: a manifest, "manifest.json", and one saved file per replaced
// or removed path, named by its number ("0", "1", ...). A saved file is a second hard link to the
// installed file (the upgrade renames the new file over the path, so the old inode, its bytes,
// mode, owner and times, stays whole under the store's name); where hard links are refused (another
// file system) it is a copy with the same bytes, mode, owner and times. The manifest lists, for
// every path of the run, what stood there before: "replaced" and "removed" paths with the number of
// their saved file, and "fresh" paths where nothing stood. It also holds the SHA-256 of the
// description that made it and the store's state:
//
//   no store, or a store without a manifest   nothing to commit or roll back (leftovers of a cut
//                                              drop are removed by the next save or drop)
//   "installing"                               saved before the first change of the run; the run
//                                              may have changed any of the paths
//   "landed"                                   the run has put everything in place
//   "rolling-back"                             a rollback has begun: it is only ever finished
//
// Every name in the store is acted on through the store's own descriptor and never followed; the
// store directory itself is opened without following a link.
#pragma once

#include "FileDescriptor.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

enum class TStoreState { None, Installing, Landed, RollingBack };

struct TStoreEntry {
    enum Kind { Replaced, Removed, Fresh };
    QString path; // as the description gives it
    Kind kind = Fresh;
    int saved = -1; // the number of the saved file; -1 for a fresh path
};

class TRollbackStore {
public:
    // The store's directory name inside the home directory.
    static const char dirName[];

    explicit TRollbackStore(const QString& homeDir);

    // homeDir + "/.upgrade-rollback", for the messages.
    QString path() const;

    // Reads the manifest. A missing store or manifest is state None. On false, |error| holds the
    // reason (the store cannot be opened, the manifest is unreadable or malformed).
    bool load(QString& error);

    TStoreState state() const { return m_state; }
    // True when load() read the whole manifest and it is no manifest of this program (a damaged
    // disk; the manifest is always written whole): the store can only be dropped.
    bool isMalformed() const { return m_malformed; }
    // True when load() found the store directory, with or without a manifest.
    bool isPresent() const { return m_storeFd.isOpen(); }
    QByteArray descriptionSum() const { return m_descriptionSum; }
    const QList<TStoreEntry>& entries() const { return m_entries; }

    // Saves what stands now at every path of |files| and |removals| (each path once, the first
    // time it is named) and writes the manifest with the state "installing". On disk at each
    // step: the saved files go in first, the store directory is flushed, and only then the
    // manifest appears, written whole, flushed and renamed in. A cut before the rename leaves a
    // store without a manifest (nothing changed yet, and the next save starts again). A path that
    // lies in the store itself fails the save: "'<path>' is inside the rollback store".
    bool save(const QByteArray& descriptionSum, const QStringList& files,
        const QStringList& removals, QString& error);

    // Rewrites the manifest with |state|: written whole, flushed, renamed over the old one.
    bool setState(TStoreState state, QString& error);

    // Puts the previous version of one path back: the saved file is renamed back over the path
    // (copied beside it and renamed in, across file systems), or a fresh path is deleted. A saved
    // file already gone was put back by a cut-off rollback. Idempotent: it may be repeated
    // after a cut at any instant.
    bool restore(const TStoreEntry& entry, QString& error) const;

    // Drops the store. The manifest goes first (and that is flushed), so a cut afterwards leaves
    // a store without a manifest, which means nothing; then every other name, then the directory.
    bool drop(QString& error);

private:
    bool openStore(bool create, QString& error);
    bool saveOne(const QString& path, TStoreEntry::Kind kind, QString& error);
    bool isInStore(const QString& path, int dirFd) const;
    bool writeManifest(QString& error) const;
    bool parseManifest(const QByteArray& text);
    bool removeLeftovers(QString& error) const;
    bool copyBack(const QByteArray& saved, int dir, const QByteArray& name) const;

    QString m_homeDir;
    TFileDescriptor m_homeFd;
    TFileDescriptor m_storeFd;
    TStoreState m_state = TStoreState::None;
    bool m_malformed = false;
    QByteArray m_descriptionSum;
    QList<TStoreEntry> m_entries;
};
