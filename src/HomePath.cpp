// SPDX-License-Identifier: MIT
// Confinement is decided on descriptors: the directory that holds a target is opened once with
// every link on the way resolved, checked against the real root directory, and then every call
// acts on the last component relative to that descriptor (linkat, renameat, unlinkat, ...). So
// what was checked is what is acted on, and the last component is never followed. A run touches
// the same few directories again and again, so the roots and the last directory of each are kept
// open for the life of the process, which is one run.
#include "HomePath.h"

#include "FileDescriptor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

namespace {

bool beneathResolution = true;

// The run never changes its working directory, so a relative home directory is made absolute
// against the same directory every time; asking the system once is enough.
QString cleanAbsolute(const QString& dir)
{
    if (QDir::isAbsolutePath(dir))
        return QDir::cleanPath(dir);
    static const QString current = QDir::currentPath();
    return QDir::cleanPath(current + QLatin1Char('/') + dir);
}

// A root directory of the run, opened once, with the last directory resolved under it.
struct TRoot {
    QString text;
    QByteArray real;
    TFileDescriptor fd;
    dev_t device = 0;
    QByteArray lastDir;
    TFileDescriptor lastFd;
    dev_t lastDevice = 0;
    bool lastMade = false;
    // The directories this run created, relative to the root: they hold no leftovers to look for.
    QSet<QByteArray> made;
};

std::unique_ptr<TRoot> openRoot(const QString& text, int& error)
{
    auto root = std::make_unique<TRoot>();
    root->text = text;
    // An empty home directory is the root, as every composed path has it.
    const QByteArray given = text.isEmpty() ? QByteArray("/") : QFile::encodeName(text);
    char* real = ::realpath(given.constData(), nullptr);
    if (!real) {
        error = errno;
        return nullptr;
    }
    root->real = real;
    std::free(real);
    root->fd.reset(::open(root->real.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st { };
    if (!root->fd.isOpen() || ::fstat(root->fd.get(), &st) != 0) {
        error = errno;
        return nullptr;
    }
    root->device = st.st_dev;
    return root;
}

// The roots of the run (the home directory and the new-arrival directory, used by turns), kept
// open. A root that cannot be opened is not kept, so that a later call tries again.
TRoot* rootFor(const QString& text, int& error)
{
    static std::vector<std::unique_ptr<TRoot>> roots;
    for (const auto& root : roots) {
        if (root->text == text)
            return root.get();
    }
    std::unique_ptr<TRoot> root = openRoot(text, error);
    if (!root)
        return nullptr;
    if (roots.size() >= 4)
        roots.erase(roots.begin());
    roots.push_back(std::move(root));
    return roots.back().get();
}

TPlace failure(int error) { return error == ENOENT ? TPlace::Missing : TPlace::Failed; }

bool isInside(const QByteArray& real, const QByteArray& root)
{
    return root == "/" || real == root || real.startsWith(root + '/');
}

// The fallback where the kernel cannot resolve beneath a directory, or refused to because the path
// holds an absolute link (which may well lead back inside): resolve the text, compare, then open
// the link-free result without following its last component.
TPlace resolveReal(const TRoot& root, const QByteArray& rel, TFileDescriptor& fd, int& error)
{
    const QByteArray path = root.real + '/' + rel;
    char* real = ::realpath(path.constData(), nullptr);
    if (!real) {
        error = errno;
        return failure(error);
    }
    const QByteArray resolved(real);
    std::free(real);
    if (!isInside(resolved, root.real))
        return TPlace::Outside;
    fd.reset(::open(resolved.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen()) {
        error = errno;
        return failure(error);
    }
    return TPlace::Ok;
}

// One call that walks the whole path and refuses to leave the root on the way, by ".." or by a
// link. |decided| is false when the fallback must decide instead.
TPlace resolveBeneath(
    const TRoot& root, const QByteArray& rel, TFileDescriptor& fd, int& error, bool& decided)
{
    decided = false;
#ifdef SYS_openat2
    open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long result = ::syscall(SYS_openat2, root.fd.get(), rel.constData(), &how, sizeof how);
    if (result >= 0) {
        fd.reset(static_cast<int>(result));
        decided = true;
        return TPlace::Ok;
    }
    error = errno;
    if (error == ENOSYS || error == EPERM || error == E2BIG) {
        beneathResolution = false; // an old kernel, an emulator or a filter: never ask again
        return TPlace::Failed;
    }
    // EXDEV: the path left the root or holds an absolute link; EAGAIN: a rename raced with "..".
    decided = error != EXDEV && error != EAGAIN;
    return failure(error);
#else
    (void)root, (void)rel, (void)fd, (void)error;
    beneathResolution = false;
    return TPlace::Failed;
#endif
}

TPlace resolve(const TRoot& root, const QByteArray& rel, TFileDescriptor& fd, int& error)
{
    if (beneathResolution) {
        bool decided = false;
        const TPlace place = resolveBeneath(root, rel, fd, error, decided);
        if (decided)
            return place;
    }
    return resolveReal(root, rel, fd, error);
}

// "a", "a/b", "a/b/c" for "a/b/c": the directories on the way, outermost first, empty components
// skipped.
QList<QByteArray> dirPrefixes(const QByteArray& rel)
{
    QList<QByteArray> prefixes;
    QByteArray prefix;
    for (const QByteArray& component : rel.split('/')) {
        if (component.isEmpty())
            continue;
        prefix += prefix.isEmpty() ? component : '/' + component;
        prefixes.append(prefix);
    }
    return prefixes;
}

// Makes the missing directories of |rel| one at a time. Each is created by name inside a
// directory already resolved and confined, and then resolved again from the root like any other
// path: mkdirat never follows a link, so a link on the way can only make this fail.
// Without |make| nothing is created: the walk ends at the first missing directory with Missing,
// which tells that every directory there up to it lies inside the root, so making the rest would
// succeed.
TPlace createDirs(
    TRoot& root, const QByteArray& rel, TFileDescriptor& fd, int& error, bool make = true)
{
    TFileDescriptor current;
    for (const QByteArray& prefix : dirPrefixes(rel)) {
        const QByteArray component = prefix.mid(prefix.lastIndexOf('/') + 1);
        TFileDescriptor next;
        TPlace place = resolve(root, prefix, next, error);
        if (place == TPlace::Missing && !make)
            return TPlace::Missing;
        if (place == TPlace::Missing) {
            const int parent = current.isOpen() ? current.get() : root.fd.get();
            if (::mkdirat(parent, component.constData(), 0777) == 0)
                root.made.insert(prefix);
            else if (errno != EEXIST) {
                error = errno;
                return TPlace::Failed;
            }
            place = resolve(root, prefix, next, error);
        }
        if (place != TPlace::Ok)
            return place == TPlace::Missing ? TPlace::Failed : place;
        current = std::move(next);
    }
    fd = std::move(current);
    return fd.isOpen() ? TPlace::Ok : TPlace::Failed;
}

} // namespace

void setBeneathResolution(bool enabled) { beneathResolution = enabled; }

THomePath::THomePath(const QString& homeDir, const QString& path)
    : m_homeDir(homeDir)
    , m_target(homeDir + QLatin1Char('/') + path)
    // The trailing "/" makes an empty home directory the root, as every composed path has it.
    , m_home(cleanAbsolute(homeDir + QLatin1Char('/')))
    , m_absoluteTarget(QDir::cleanPath(m_home + QLatin1Char('/') + path))
    , m_suffix(QFileInfo(m_target).suffix())
{
    const QByteArray encoded = QFile::encodeName(path);
    const int slash = encoded.lastIndexOf('/');
    m_name = encoded.mid(slash + 1);
    if (slash > 0)
        m_dirPart = encoded.left(slash);
    while (m_dirPart.startsWith('/'))
        m_dirPart.remove(0, 1);
}

QString THomePath::targetDir() const { return QFileInfo(m_absoluteTarget).absolutePath(); }

QString THomePath::homePrefix() const
{
    return m_home.endsWith(QLatin1Char('/')) ? m_home : m_home + QLatin1Char('/');
}

bool THomePath::isInsideHome() const
{
    // A NUL ends the name the system calls see, so such a path leads somewhere else than it says.
    if (m_absoluteTarget.contains(QChar(0)))
        return false;
    const QString prefix = homePrefix();
    return m_absoluteTarget.length() > prefix.length() && m_absoluteTarget.startsWith(prefix);
}

bool THomePath::isDirectlyInHome() const
{
    return QFileInfo(m_absoluteTarget).absolutePath() == m_home;
}

bool THomePath::isUnder(const QString& subdir) const
{
    return m_absoluteTarget.startsWith(homePrefix() + subdir + QLatin1Char('/'));
}

bool THomePath::isStoppable() const
{
    return (isDirectlyInHome() && m_suffix.isEmpty()) || isUnder(QStringLiteral("ext"))
        || isUnder(QStringLiteral("upgrade"));
}

bool THomePath::isExecutable() const
{
    return isStoppable()
        || (isDirectlyInHome()
            && (m_suffix == QLatin1String("so") || m_suffix == QLatin1String("sh")));
}

bool THomePath::nameIsDirectory() const
{
    return m_name.isEmpty() || m_name == "." || m_name == "..";
}

TPlace THomePath::resolveWhole(int& error) const
{
    error = 0;
    TRoot* root = rootFor(m_homeDir, error);
    if (!root)
        return failure(error);
    const QByteArray whole = m_dirPart.isEmpty() ? m_name : m_dirPart + '/' + m_name;
    if (whole.isEmpty())
        return TPlace::Ok;
    // Resolved as a directory would be: every link is followed and leaving the root is refused on
    // the way; a target inside that is a file then fails with ENOTDIR, which is what was asked.
    TFileDescriptor fd;
    const TPlace place = resolve(*root, whole, fd, error);
    return place == TPlace::Failed && error == ENOTDIR ? TPlace::Ok : place;
}

TPlace THomePath::openDir(bool create, TDirAt& dir, int& error) const
{
    error = 0;
    TRoot* root = rootFor(m_homeDir, error);
    if (!root)
        return failure(error);
    if (m_dirPart.isEmpty()) {
        dir = { root->fd.get(), root->device };
        return TPlace::Ok;
    }
    if (!root->lastFd.isOpen() || root->lastDir != m_dirPart) {
        TFileDescriptor fd;
        TPlace place = resolve(*root, m_dirPart, fd, error);
        if (place == TPlace::Missing && create)
            place = createDirs(*root, m_dirPart, fd, error);
        if (place != TPlace::Ok)
            return place;
        struct stat st { };
        if (::fstat(fd.get(), &st) != 0) {
            error = errno;
            return TPlace::Failed;
        }
        root->lastDir = m_dirPart;
        root->lastFd = std::move(fd);
        root->lastDevice = st.st_dev;
        root->lastMade = root->made.contains(m_dirPart);
    }
    dir = { root->lastFd.get(), root->lastDevice, root->lastMade };
    return TPlace::Ok;
}

TPlace THomePath::openAt(bool create, TFileAt& at, int& error) const
{
    at.name = m_name;
    return openDir(create, at.dir, error);
}

TPlace THomePath::openAt(TDirs dirs, TFileAt& at, int& error) const
{
    const TPlace place = openAt(dirs == TDirs::Make, at, error);
    if (place != TPlace::Missing || dirs != TDirs::Plan)
        return place;
    TRoot* root = rootFor(m_homeDir, error);
    if (!root)
        return failure(error);
    // The directories that are there are resolved one by one, as making the rest would: one
    // that leads out of the root ends it.
    // Every one there (made meanwhile by someone else) still leaves |at| without a directory.
    TFileDescriptor fd;
    const TPlace walked = createDirs(*root, m_dirPart, fd, error, false);
    return walked == TPlace::Ok ? TPlace::Missing : walked;
}

TPlace THomePath::lookAt(TFileAt& at, struct stat& st, int& error) const
{
    TPlace place = openAt(false, at, error);
    if (place == TPlace::Failed && error == ENOTDIR)
        return TPlace::Missing;
    if (place != TPlace::Ok)
        return place;
    if (::fstatat(at.dir.fd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return TPlace::Ok;
    error = errno;
    return error == ENOENT || error == ENOTDIR ? TPlace::Missing : TPlace::Failed;
}
