// SPDX-License-Identifier: MIT
/* The floor that a whole run is measured against: the least a C program does to put new files in
 * place safely, and nothing else (no log, no document, no checks).
 *
 *   floor_run HOME NEW-DIR LIST SECONDS
 *
 * LIST holds one path per line, relative to both HOME and NEW-DIR. Each file gets the modification
 * time SECONDS (since the epoch). Per file: mkdir when the directory changes (and its parents only
 * when it is missing), stat of the target, a hard link of an installed file at "<target>.tmp",
 * utime of the new file, rename over the target, unlink of the backup. Per run: a syncfs before the
 * first rename and one after the last step. Exits 0 when every file is in place. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int makeDirs(char* path)
{
    if (mkdir(path, 0755) == 0 || errno == EEXIST)
        return 0;
    if (errno != ENOENT)
        return -1;
    char* slash = strrchr(path, '/');
    if (!slash || slash == path)
        return -1;
    *slash = '\0';
    const int parent = makeDirs(path);
    *slash = '/';
    return parent == 0 && (mkdir(path, 0755) == 0 || errno == EEXIST) ? 0 : -1;
}

static char* readList(const char* name, size_t* size)
{
    FILE* file = fopen(name, "rb");
    if (!file)
        return NULL;
    char* text = NULL;
    size_t capacity = 0;
    *size = 0;
    for (;;) {
        if (*size + 65536 + 1 > capacity) {
            capacity = (capacity + 65536) * 2;
            char* grown = realloc(text, capacity);
            if (!grown)
                break;
            text = grown;
        }
        const size_t got = fread(text + *size, 1, 65536, file);
        *size += got;
        if (got == 0)
            break;
    }
    fclose(file);
    if (text)
        text[*size] = '\0';
    return text;
}

static int placeFile(const char* home, const char* arrival, const char* rel,
    const struct timespec times[2], char* lastDir)
{
    char target[4096], backup[4120], source[4096], dir[4096];
    snprintf(target, sizeof target, "%s/%s", home, rel);
    snprintf(backup, sizeof backup, "%s.tmp", target);
    snprintf(source, sizeof source, "%s/%s", arrival, rel);
    snprintf(dir, sizeof dir, "%s", target);
    *strrchr(dir, '/') = '\0';
    if (strcmp(dir, lastDir) != 0) {
        if (makeDirs(dir) != 0)
            return -1;
        snprintf(lastDir, 4096, "%s", dir);
    }
    struct stat st;
    const int installed = lstat(target, &st) == 0;
    if (installed && link(target, backup) != 0)
        return -1;
    if (utimensat(AT_FDCWD, source, times, AT_SYMLINK_NOFOLLOW) != 0 || rename(source, target) != 0)
        return -1;
    return installed ? unlink(backup) : 0;
}

static int flush(const char* dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int result = fd >= 0 ? syncfs(fd) : -1;
    if (fd >= 0)
        close(fd);
    return result;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: floor_run HOME NEW-DIR LIST SECONDS\n");
        return 2;
    }
    size_t size = 0;
    char* list = readList(argv[3], &size);
    if (!list) {
        perror(argv[3]);
        return 1;
    }
    const struct timespec times[2] = { { atol(argv[4]), 0 }, { atol(argv[4]), 0 } };
    char lastDir[4096] = "";
    int failed = flush(argv[1]);
    for (char* line = strtok(list, "\n"); line; line = strtok(NULL, "\n")) {
        if (placeFile(argv[1], argv[2], line, times, lastDir) != 0) {
            perror(line);
            failed = 1;
        }
    }
    failed |= flush(argv[1]);
    free(list);
    return failed ? 1 : 0;
}
