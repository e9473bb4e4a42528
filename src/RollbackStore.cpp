// SPDX-License-Identifier: MIT
// The store works on descriptors: the home directory is opened confined (HomePath), the store
// directory beneath it without following a link, and every saved file and the manifest by name in
// that directory. The paths of the description are confined like every file operation of the run.
#include "RollbackStore.h"

#include "FileReplacement.h"
#include "HomePath.h"
#include "json.h"

#include <QDir>
#include <QFile>
#include <QVariant>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char TRollbackStore::dirName[] = ".upgrade-rollback";

namespace {

const char manifestName[] = "manifest.json";
const char manifestTemporary[] = "manifest.json.new";
const char rollbackCopySuffix[] = ".rollback-new";
const qint64 manifestLimit = 64 * 1024 * 1024;

const struct {
    TStoreState state;
    const char* text;
} stateTexts[] = { { TStoreState::Installing, "installing" }, { TStoreState::Landed, "landed" },
    { TStoreState::RollingBack, "rolling-back" } };
const char* const kindTexts[] = { "replaced", "removed", "fresh" };

bool readAllFd(int fd, QByteArray& data)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        data.append(buffer, static_cast<int>(got));
        if (data.size() > manifestLimit) {
            errno = EFBIG;
            return false;
        }
    }
}

// A link is copied as a link: its text, owner and times.
bool copyLink(int fromDir, const char* from, const struct stat& st, int toDir, const char* to)
{
    char text[PATH_MAX + 1];
    const ssize_t size = ::readlinkat(fromDir, from, text, PATH_MAX);
    if (size < 0)
        return false;
    text[size] = '\0';
    const timespec times[2] = { st.st_atim, st.st_mtim };
    return ::symlinkat(text, toDir, to) == 0
        && ::fchownat(toDir, to, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) == 0
        && ::utimensat(toDir, to, times, AT_SYMLINK_NOFOLLOW) == 0;
}

// A regular file is copied whole with its owner, mode and times, and is on disk before it is
// named anywhere else.
bool copyRegular(int fromDir, const char* from, const struct stat& st, int toDir, const char* to)
{
    TFileDescriptor in(
        ::openat(fromDir, from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    TFileDescriptor out(
        ::openat(toDir, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    const timespec times[2] = { st.st_atim, st.st_mtim };
    struct stat opened { };
    const bool copied = in.isOpen() && out.isOpen() && ::fstat(in.get(), &opened) == 0
        && opened.st_ino == st.st_ino && copyData(in.get(), out.get())
        && ::fchown(out.get(), st.st_uid, st.st_gid) == 0
        && ::fchmod(out.get(), st.st_mode & 07777) == 0 && ::futimens(out.get(), times) == 0
        && ::fsync(out.get()) == 0 && out.close();
    if (!copied && out.isOpen())
        ::unlinkat(toDir, to, 0);
    return copied;
}

// Copies |from| to the new name |to| (any stale one there is removed first). On failure nothing
// of the copy is left and errno holds the reason.
bool copyFile(int fromDir, const char* from, const struct stat& st, int toDir, const char* to)
{
    if (::unlinkat(toDir, to, 0) != 0 && errno != ENOENT)
        return false;
    bool copied = false;
    if (S_ISLNK(st.st_mode))
        copied = copyLink(fromDir, from, st, toDir, to);
    else if (S_ISREG(st.st_mode))
        copied = copyRegular(fromDir, from, st, toDir, to);
    else
        errno = EINVAL;
    const int error = errno;
    if (!copied)
        ::unlinkat(toDir, to, 0);
    errno = error;
    return copied;
}

bool linkRefused(int error)
{
    return error == EPERM || error == EXDEV || error == ENOTSUP || error == EOPNOTSUPP
        || error == EMLINK;
}

QString stateText(TStoreState state)
{
    for (const auto& known : stateTexts) {
        if (known.state == state)
            return QLatin1String(known.text);
    }
    return QString();
}

TStoreState stateOf(const QString& text)
{
    for (const auto& known : stateTexts) {
        if (text == QLatin1String(known.text))
            return known.state;
    }
    return TStoreState::None;
}

// The opened directory that holds |place|, kept by a descriptor of its own.
bool openConfined(const THomePath& place, bool create, TFileDescriptor& fd, int& error)
{
    TDirAt dir;
    const TPlace found = place.openDir(create, dir, error);
    if (found == TPlace::Missing) {
        fd.reset();
        return true;
    }
    if (found != TPlace::Ok) {
        if (error == 0)
            error = EACCES;
        return false;
    }
    fd.reset(::fcntl(dir.fd, F_DUPFD_CLOEXEC, 0));
    error = errno;
    return fd.isOpen();
}

} // namespace

TRollbackStore::TRollbackStore(const QString& homeDir)
    : m_homeDir(homeDir)
{
}

QString TRollbackStore::path() const
{
    return m_homeDir + QLatin1Char('/') + QLatin1String(dirName);
}

// Opens the home directory confined and the store beneath it, never through a link. Without
// |create| a missing store leaves m_storeFd closed.
bool TRollbackStore::openStore(bool create, QString& error)
{
    int code = 0;
    const THomePath place(m_homeDir, QLatin1String(dirName));
    if (!openConfined(place, false, m_homeFd, code) || !m_homeFd.isOpen()) {
        error = failedText("open", THomePath(m_homeDir, QString()).home(), code ? code : ENOENT);
        return false;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    m_storeFd.reset(::openat(m_homeFd.get(), dirName, flags));
    if (!m_storeFd.isOpen() && errno == ENOENT && !create)
        return true;
    if (!m_storeFd.isOpen() && errno == ENOENT) {
        // A new, empty store: it and its name in the home directory are on disk before anything
        // is saved in it.
        if (::mkdirat(m_homeFd.get(), dirName, 0700) != 0 || !syncDirectory(m_homeFd.get())) {
            error = failedText("create directory", path(), errno);
            return false;
        }
        m_storeFd.reset(::openat(m_homeFd.get(), dirName, flags));
    }
    if (!m_storeFd.isOpen()) {
        error = failedText("open", path(), errno);
        return false;
    }
    return true;
}

bool TRollbackStore::load(QString& error)
{
    m_state = TStoreState::None;
    m_malformed = false;
    m_entries.clear();
    m_descriptionSum.clear();
    if (!openStore(false, error))
        return false;
    if (!m_storeFd.isOpen())
        return true;
    TFileDescriptor fd(::openat(
        m_storeFd.get(), manifestName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isOpen() && errno == ENOENT)
        return true;
    const QString manifest = path() + QLatin1Char('/') + QLatin1String(manifestName);
    struct stat st { };
    QByteArray text;
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)
        || !readAllFd(fd.get(), text)) {
        error = failedText("read", manifest, S_ISREG(st.st_mode) || !fd.isOpen() ? errno : EINVAL);
        return false;
    }
    if (!parseManifest(text)) {
        m_malformed = true;
        error = QLatin1String("parse '") + manifest + QLatin1String("' failed");
        return false;
    }
    return true;
}

bool TRollbackStore::parseManifest(const QByteArray& text)
{
    bool ok = false;
    const QVariantMap document = JsonCodec::Json::parse(QString::fromUtf8(text), ok).toMap();
    m_state = stateOf(document.value(QStringLiteral("state")).toString());
    m_descriptionSum = document.value(QStringLiteral("description-sha256")).toString().toLatin1();
    if (!ok || m_state == TStoreState::None)
        return false;
    const QVariantList entries = document.value(QStringLiteral("entries")).toList();
    for (const QVariant& element : entries) {
        const QVariantMap object = element.toMap();
        TStoreEntry entry;
        entry.path = object.value(QStringLiteral("path")).toString();
        const QString kind = object.value(QStringLiteral("kind")).toString();
        int k = 0;
        while (k < 3 && kind != QLatin1String(kindTexts[k]))
            ++k;
        entry.kind = static_cast<TStoreEntry::Kind>(k);
        entry.saved = object.value(QStringLiteral("saved"), -1).toInt();
        if (k == 3 || entry.path.isEmpty()
            || (entry.kind != TStoreEntry::Fresh) != (entry.saved >= 0))
            return false;
        m_entries.append(entry);
    }
    return true;
}

bool TRollbackStore::writeManifest(QString& error) const
{
    QVariantList entries;
    for (const TStoreEntry& entry : m_entries) {
        QVariantMap object;
        object.insert(QStringLiteral("path"), entry.path);
        object.insert(QStringLiteral("kind"), QLatin1String(kindTexts[entry.kind]));
        if (entry.saved >= 0)
            object.insert(QStringLiteral("saved"), entry.saved);
        entries.append(object);
    }
    QVariantMap document;
    document.insert(QStringLiteral("state"), stateText(m_state));
    document.insert(QStringLiteral("description-sha256"), QString::fromLatin1(m_descriptionSum));
    document.insert(QStringLiteral("entries"), entries);
    const QByteArray text = JsonCodec::Json::serialize(document) + '\n';
    const QString temporary = path() + QLatin1Char('/') + QLatin1String(manifestTemporary);
    // After the rename the store says the new state; power cut before: the old one.
    // What failed, by TReplaceStep: a rename is done once the directory is synced.
    static const char* const verbs[] = { "", "remove", "write", "write", "rename", "rename" };
    int why = 0;
    const TReplaceStep step
        = replaceFileAt(m_storeFd.get(), manifestName, manifestTemporary, text, 0600, why);
    if (step == TReplaceStep::Done)
        return true;
    error = failedText(verbs[static_cast<int>(step)], temporary, why);
    return false;
}

bool TRollbackStore::setState(TStoreState state, QString& error)
{
    m_state = state;
    return writeManifest(error);
}

// Removes every name in the store but the manifest: what a cut-off save or drop left.
bool TRollbackStore::removeLeftovers(QString& error) const
{
    const int copy = ::fcntl(m_storeFd.get(), F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing) {
        error = failedText("read", path(), errno);
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && name != manifestName)
            names.push_back(name);
    }
    ::closedir(listing);
    for (const QByteArray& name : names) {
        if (::unlinkat(m_storeFd.get(), name.constData(), 0) != 0 && errno != ENOENT) {
            error
                = failedText("remove", path() + QLatin1Char('/') + QFile::decodeName(name), errno);
            return false;
        }
    }
    return true;
}

bool TRollbackStore::isInStore(const QString& path, int dirFd) const
{
    QString relative = QDir::cleanPath(path);
    while (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    if (relative == QLatin1String(dirName)
        || relative.startsWith(QLatin1String(dirName) + QLatin1Char('/')))
        return true;
    struct stat dir {
    }, store {};
    return dirFd >= 0 && ::fstat(dirFd, &dir) == 0 && ::fstat(m_storeFd.get(), &store) == 0
        && dir.st_dev == store.st_dev && dir.st_ino == store.st_ino;
}

// Saves what stands at one path. A path outside the home directory, or one that cannot be looked
// at, is left to the run, which refuses it; a directory is never replaced either.
bool TRollbackStore::saveOne(const QString& path, TStoreEntry::Kind kind, QString& error)
{
    for (const TStoreEntry& known : qAsConst(m_entries)) {
        if (known.path == path)
            return true;
    }
    const THomePath place(m_homeDir, path);
    TFileDescriptor dir;
    int code = 0;
    if (path.isEmpty() || !place.isInsideHome() || place.nameIsDirectory()
        || !openConfined(place, false, dir, code))
        return true;
    if (isInStore(path, dir.get())) {
        error
            = QLatin1Char('\'') + place.target() + QLatin1String("' is inside the rollback store");
        return false;
    }
    struct stat st { };
    const QByteArray name = place.name();
    if (!dir.isOpen() || ::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (dir.isOpen() && errno != ENOENT) {
            error = failedText("stat", place.target(), errno);
            return false;
        }
        if (kind == TStoreEntry::Replaced)
            m_entries.append({ path, TStoreEntry::Fresh, -1 });
        return true;
    }
    if (S_ISDIR(st.st_mode))
        return true;
    const int number = m_entries.size();
    const QByteArray saved = QByteArray::number(number);
    if (::linkat(dir.get(), name.constData(), m_storeFd.get(), saved.constData(), 0) != 0
        && (!linkRefused(errno)
            || !copyFile(dir.get(), name.constData(), st, m_storeFd.get(), saved.constData()))) {
        error = failedText("save", place.target(), errno);
        return false;
    }
    m_entries.append({ path, kind, number });
    return true;
}

bool TRollbackStore::save(const QByteArray& descriptionSum, const QStringList& files,
    const QStringList& removals, QString& error)
{
    m_entries.clear();
    m_descriptionSum = descriptionSum;
    if (!openStore(true, error) || !removeLeftovers(error))
        return false;
    // Now the store is empty and has no manifest: it means nothing yet.
    for (const QString& file : files) {
        if (!saveOne(file, TStoreEntry::Replaced, error))
            return false;
    }
    for (const QString& removal : removals) {
        if (!saveOne(removal, TStoreEntry::Removed, error))
            return false;
    }
    // The saved names are on disk before the manifest that names them.
    if (!syncDirectory(m_storeFd.get())) {
        error = failedText("fsync", path(), errno);
        return false;
    }
    return setState(TStoreState::Installing, error);
}

bool TRollbackStore::restore(const TStoreEntry& entry, QString& error) const
{
    const THomePath place(m_homeDir, entry.path);
    TFileDescriptor dir;
    int code = 0;
    if (!place.isInsideHome() || place.nameIsDirectory()
        || !openConfined(place, entry.kind != TStoreEntry::Fresh, dir, code)) {
        error = failedText("open", place.targetDir(), code ? code : EINVAL);
        return false;
    }
    const QByteArray name = place.name();
    if (entry.kind == TStoreEntry::Fresh) {
        // The file the upgrade installed where nothing stood goes; gone already is as good.
        if (!dir.isOpen() || ::unlinkat(dir.get(), name.constData(), 0) == 0 || errno == ENOENT)
            return true;
        error = failedText("remove", place.target(), errno);
        return false;
    }
    const QByteArray saved = QByteArray::number(entry.saved);
    // One rename puts the previous version back over whatever stands at the path. Power cut
    // before it: the path holds the new file and the store the old one; after: the old file is at
    // the path and no longer in the store, which the repeated rollback takes as done.
    if (::renameat(m_storeFd.get(), saved.constData(), dir.get(), name.constData()) == 0)
        return true;
    struct stat st { };
    if (errno == ENOENT
        && ::fstatat(m_storeFd.get(), saved.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
        && errno == ENOENT)
        return true;
    if (errno != EXDEV || !copyBack(saved, dir.get(), name)) {
        error = failedText("restore", place.target(), errno);
        return false;
    }
    return true;
}

// Across file systems: a whole copy beside the path, flushed, then one rename in, and only then
// the saved file goes. Power cut before the rename: the path holds the new file, a partial copy
// beside it is made anew by the repeated rollback; after it: the old file, whole.
bool TRollbackStore::copyBack(const QByteArray& saved, int dir, const QByteArray& name) const
{
    const QByteArray copy = besideName(name, rollbackCopySuffix);
    struct stat st { };
    return ::fstatat(m_storeFd.get(), saved.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && copyFile(m_storeFd.get(), saved.constData(), st, dir, copy.constData())
        && ::renameat(dir, copy.constData(), dir, name.constData()) == 0 && syncDirectory(dir)
        && ::unlinkat(m_storeFd.get(), saved.constData(), 0) == 0;
}

bool TRollbackStore::drop(QString& error)
{
    if (!openStore(false, error))
        return false;
    if (!m_storeFd.isOpen())
        return true;
    // Once the manifest is gone (on disk), the store says nothing: a cut afterwards leaves only
    // names that the next save or drop removes.
    if ((::unlinkat(m_storeFd.get(), manifestName, 0) != 0 && errno != ENOENT)
        || !syncDirectory(m_storeFd.get())) {
        error
            = failedText("remove", path() + QLatin1Char('/') + QLatin1String(manifestName), errno);
        return false;
    }
    m_state = TStoreState::None;
    m_entries.clear();
    if (!removeLeftovers(error))
        return false;
    m_storeFd.reset();
    if (::unlinkat(m_homeFd.get(), dirName, AT_REMOVEDIR) != 0 || !syncDirectory(m_homeFd.get())) {
        error = failedText("remove", path(), errno);
        return false;
    }
    return true;
}
