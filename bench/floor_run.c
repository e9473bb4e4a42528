// SPDX-License-Identifier: MIT
/* The floor that a whole run is measured against: the least a C program does to put new files in
 * place as safely as a confined run must, and nothing else (no log, no document, no messages).
 *
 *   floor_run HOME NEW-DIR LIST SECONDS
 *
 * LIST holds one path per line, relative to both HOME and NEW-DIR; each file gets the modification
 * time SECONDS (since the epoch). Exits 0 when every file is in place.
 *
 * The calls it makes, and why a safe run cannot do without each:
 *   per run
 *     open + flock(LOCK_EX|LOCK_NB) of HOME: two runs on one home directory must not interleave
 *         their steps (the run lock);
 *     open of HOME and NEW-DIR: the roots every path is resolved beneath;
 *     syncfs before the first rename: the new files' data is on disk before a rename makes the
 *         application rely on it (once per file system);
 *     syncfs after the last step: every rename is on disk before the application starts on it.
 *   per change of directory (the list keeps a directory's files together, as a package does)
 *     openat2(RESOLVE_BENEATH) of the directory under NEW-DIR and under HOME: a link or ".." on
 *         the way must not lead out of either; where the home's is missing, mkdirat of each
 *         missing component inside its confined parent, resolved again beneath HOME.
 *   per file
 *     openat(O_NOFOLLOW | O_NONBLOCK) + fstat of the new file: a link, a FIFO or a directory is
 *         refused, and a file with other names (a hard link from elsewhere) must not have its
 *         time changed in place; futimens then sets the time of that very inode;
 *     fstatat(AT_SYMLINK_NOFOLLOW) of the target: an installed file gets a backup, an installed
 *         directory is refused;
 *     linkat of an installed file to "<name>.tmp" (an unlinkat first where a cut-off run left
 *         one): the old file keeps a second name until the new one is in place;
 *     renameat of the new file over the target: the one step that replaces it atomically;
 *     unlinkat of the backup; close of the new file.
 * The description of the benchmark carries no sha256, so nothing is hashed here either. The
 * program's own work beyond this (options, log, documents, their checks) is what is measured. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

struct dirs {
    int homeRoot, arrivalRoot; // the two roots, opened once
    int home, arrival; // the directory of the last file under each root, -1 when none
    char last[4096]; // its path relative to the roots
};

static int beneath(int root, const char* rel)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return (int)syscall(SYS_openat2, root, rel, &how, sizeof how);
}

// Makes the missing directories of |rel| one component at a time, each inside its parent as
// resolved beneath |root|; returns the last one opened, or -1.
static int makeBeneath(int root, char* rel)
{
    int parent = -1;
    for (char* slash = rel;; ++slash) {
        slash = strchr(slash, '/');
        if (slash)
            *slash = '\0';
        int dir = beneath(root, rel);
        if (dir < 0 && errno == ENOENT) {
            const char* name = strrchr(rel, '/') ? strrchr(rel, '/') + 1 : rel;
            if (mkdirat(parent < 0 ? root : parent, name, 0777) != 0 && errno != EEXIST)
                dir = -1;
            else
                dir = beneath(root, rel);
        }
        if (parent >= 0)
            close(parent);
        parent = dir;
        if (slash)
            *slash = '/';
        if (dir < 0 || !slash)
            return dir;
    }
}

static int openDirs(struct dirs* d, char* rel)
{
    if (d->home >= 0 && strcmp(rel, d->last) == 0)
        return 0;
    if (d->home >= 0)
        close(d->home), close(d->arrival);
    d->arrival = beneath(d->arrivalRoot, rel);
    d->home = beneath(d->homeRoot, rel);
    if (d->home < 0 && errno == ENOENT)
        d->home = makeBeneath(d->homeRoot, rel);
    snprintf(d->last, sizeof d->last, "%s", rel);
    return d->home >= 0 && d->arrival >= 0 ? 0 : -1;
}

// Backs the installed |name| up as "<name>.tmp" by a hard link, dropping a stale backup first.
static int linkBackup(int dir, const char* name, const char* backup)
{
    if (linkat(dir, name, dir, backup, 0) == 0)
        return 0;
    return errno == EEXIST && unlinkat(dir, backup, 0) == 0 ? linkat(dir, name, dir, backup, 0)
                                                            : -1;
}

static int placeAt(const struct dirs* d, const char* name, const struct timespec times[2])
{
    const int fd
        = openat(d->arrival, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    int failed = fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1;
    struct stat target;
    const int installed = !failed && fstatat(d->home, name, &target, AT_SYMLINK_NOFOLLOW) == 0;
    failed = failed || (installed && S_ISDIR(target.st_mode)) || futimens(fd, times) != 0;
    char backup[4096];
    snprintf(backup, sizeof backup, "%s.tmp", name);
    failed = failed || (installed && linkBackup(d->home, name, backup) != 0)
        || renameat(d->arrival, name, d->home, name) != 0
        || (installed && unlinkat(d->home, backup, 0) != 0);
    if (fd >= 0)
        close(fd);
    return failed ? -1 : 0;
}

static int placeFile(struct dirs* d, char* rel, const struct timespec times[2])
{
    char* slash = strrchr(rel, '/');
    if (!slash)
        return -1; // every generated path has a directory
    *slash = '\0';
    const int opened = openDirs(d, rel);
    *slash = '/';
    return opened == 0 ? placeAt(d, slash + 1, times) : -1;
}

static char* readList(const char* name)
{
    FILE* file = fopen(name, "rb");
    if (!file)
        return NULL;
    char* text = NULL;
    size_t size = 0, capacity = 0;
    for (;;) {
        if (size + 65536 + 1 > capacity) {
            capacity = (capacity + 65536) * 2;
            char* grown = realloc(text, capacity);
            if (!grown)
                break;
            text = grown;
        }
        const size_t got = fread(text + size, 1, 65536, file);
        size += got;
        if (got == 0)
            break;
    }
    fclose(file);
    if (text)
        text[size] = '\0';
    return text;
}

// One syncfs per file system of the two roots.
static int flush(int homeRoot, int arrivalRoot)
{
    struct stat home, arrival;
    if (fstat(homeRoot, &home) != 0 || fstat(arrivalRoot, &arrival) != 0)
        return -1;
    if (syncfs(homeRoot) != 0)
        return -1;
    return home.st_dev == arrival.st_dev ? 0 : syncfs(arrivalRoot);
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: floor_run HOME NEW-DIR LIST SECONDS\n");
        return 2;
    }
    const int lock = open(argv[1], O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        perror(argv[1]);
        return 1;
    }
    struct dirs d = { lock, open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC), -1, -1, "" };
    char* list = readList(argv[3]);
    if (!list || d.arrivalRoot < 0) {
        perror(list ? argv[2] : argv[3]);
        return 1;
    }
    const struct timespec times[2] = { { 0, UTIME_NOW }, { atol(argv[4]), 0 } };
    int failed = flush(d.homeRoot, d.arrivalRoot);
    for (char* line = strtok(list, "\n"); line; line = strtok(NULL, "\n")) {
        if (placeFile(&d, line, times) != 0) {
            perror(line);
            failed = 1;
        }
    }
    failed |= flush(d.homeRoot, d.arrivalRoot);
    free(list);
    return failed ? 1 : 0;
}
