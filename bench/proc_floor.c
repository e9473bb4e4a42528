// SPDX-License-Identifier: MIT
/* The least a program can do to find the processes that run a file: read the process table's
 * directory, and for each process directory (the type comes with the entry) open, read and close
 * its status file; the command line is read only when the status name matches a name that the
 * kernel cut at 15 bytes. No logging, no checks beyond what the answer needs. */
#include "proc_floor.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int commandLineNames(int tableFd, const char* pid, const char* name)
{
    char path[300];
    char buffer[4096];
    snprintf(path, sizeof path, "%s/cmdline", pid);
    int fd = openat(tableFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t size = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (size <= 0)
        return 0;
    buffer[size] = '\0';
    const char* slash = strrchr(buffer, '/');
    return strcmp(slash ? slash + 1 : buffer, name) == 0;
}

static int statusNames(int tableFd, const char* pid, const char* name, size_t shown)
{
    char path[300];
    char buffer[128];
    snprintf(path, sizeof path, "%s/status", pid);
    int fd = openat(tableFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t size = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (size < 6)
        return 0;
    buffer[size] = '\0';
    char* end = strchr(buffer, '\n');
    if (end)
        *end = '\0';
    return strncmp(buffer + 6, name, shown) == 0 && strlen(buffer + 6) == shown;
}

int procFloorWalk(const char* root, const char* name)
{
    DIR* dir = opendir(root);
    if (!dir)
        return -1;
    const size_t length = strlen(name);
    const size_t shown = length > 15 ? 15 : length;
    int found = 0;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        if (entry->d_type != DT_DIR || entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        if (statusNames(dirfd(dir), entry->d_name, name, shown)
            && (length <= 15 || commandLineNames(dirfd(dir), entry->d_name, name)))
            ++found;
    }
    closedir(dir);
    return found;
}
