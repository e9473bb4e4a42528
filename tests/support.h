// SPDX-License-Identifier: MIT
// Helpers the test programs share: files, unique helper processes and the log lines that a walk of
// the machine's real process table may add at random.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The fault loops (a file-system call failed or killed in turn) prove the order of the calls a run
// makes, which does not depend on Qt's version: the Qt 5 leg runs them, the Qt 6 build skips them.
#define SKIP_FAULT_LOOP_UNDER_QT6()                                                                \
    if (QT_VERSION >= QT_VERSION_CHECK(6, 0, 0))                                                   \
    GTEST_SKIP() << "file-system calls do not depend on Qt's version; the Qt 5 leg runs this"

namespace testsupport {

inline std::string s(const QString& text) { return text.toStdString(); }

inline const QString timeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

// A name that no process of the machine bears: |prefix| and eight hex digits, 15 characters at most
// for a three-letter prefix, so /proc shows it whole.
inline QString uniqueName(const char* prefix)
{
    return prefix + QString("%1").arg(std::random_device()(), 8, 16, QChar('0'));
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << s(path);
    file.write(data);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

// Waits until the process table shows |pid| under the file name of |exe| (cut to the 15 bytes of
// the status file), at most five seconds.
inline void waitUntilNamed(pid_t pid, const QString& exe)
{
    const QByteArray name = "Name:\t" + QFileInfo(exe).fileName().toUtf8().left(15) + '\n';
    for (int i = 0;
         i < 500 && readAll(QString("/proc/%1/status").arg(pid)).left(name.size()) != name; ++i)
        usleep(10000);
}

// Starts the native program |exe| (a copy of sleep) for |seconds| and waits until the process table
// shows it under its own file name.
inline pid_t startNamed(const QString& exe, const char* seconds)
{
    const QByteArray path = QFile::encodeName(exe);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(path.constData(), path.constData(), seconds, static_cast<char*>(nullptr));
        _exit(127);
    }
    waitUntilNamed(pid, exe);
    return pid;
}

// Gives |path| (not what a link there leads to) |time| as its access and modification time.
inline void setTime(const QString& path, const QDateTime& time)
{
    const time_t seconds = static_cast<time_t>(time.toSecsSinceEpoch());
    const timespec times[2] = { { seconds, 0 }, { seconds, 0 } };
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

// Starts |command| (a built program after the emulator's words in a cross build) in a child that
// |prepare| sets up first; returns its pid, or -1. The child is killed after |seconds|: nothing
// may hang.
template <class F> pid_t startChild(const QStringList& command, F&& prepare, unsigned seconds = 60)
{
    std::vector<QByteArray> words;
    for (const QString& word : command)
        words.push_back(QFile::encodeName(word));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ::alarm(seconds);
        prepare();
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs |command| as startChild() does and returns its exit status, 128 + the signal that ended
// it, or -1.
template <class F> int runChild(const QStringList& command, F&& prepare)
{
    const pid_t pid = startChild(command, prepare);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The warnings about processes that ended while the real process table was walked.
inline bool endedDuringWalk(const QString& line)
{
    static const QRegularExpression race(
        "^Warning: (stat '/proc/\\d+' failed|open failed, |format error, ''$)");
    return race.match(line).hasMatch();
}

// The log without the lines that a walk of the real process table may add at random.
inline std::string withoutRaces(const std::string& log)
{
    QStringList lines = QString::fromStdString(log).split('\n');
    lines.erase(std::remove_if(lines.begin(), lines.end(), endedDuringWalk), lines.end());
    return s(lines.join('\n'));
}

// What |call| writes to the standard output stream, where the run's log goes.
template <class F> std::string captured(F&& call)
{
    std::ostringstream out;
    std::streambuf* old = std::cout.rdbuf(out.rdbuf());
    call();
    std::cout.rdbuf(old);
    return out.str();
}

// Expected texts name the directories of a case as %H (home as given), %N (new-file location)
// and %R (the temporary root).
inline QString fill(
    const char* text, const QString& home, const QString& newLoc = {}, const QString& root = {})
{
    return QString::fromUtf8(text).replace("%H", home).replace("%N", newLoc).replace("%R", root);
}

// Documents are written with single quotes to keep the tables readable.
inline QByteArray doc(const char* text) { return QByteArray(text).replace('\'', '"'); }

inline struct stat statOf(const QString& path)
{
    struct stat st { };
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Builds a tree under |root| from items separated by spaces: "dir/", "file=content", "fifo|" (a
// FIFO) and "link->target" (a symbolic link; %R in the target stands for |root|).
inline void makeTree(const QString& root, const QString& items)
{
    for (const QString& item : items.split(' ', Qt::SkipEmptyParts)) {
        const QString path = root + '/' + item.section(QRegularExpression("->|=|\\|"), 0, 0);
        QDir().mkpath(item.endsWith('/') ? path : QFileInfo(path).absolutePath());
        const QByteArray name = QFile::encodeName(path);
        if (item.contains("->")) {
            const QString target = item.section("->", 1).replace("%R", root);
            ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), name.constData()), 0)
                << s(item);
        } else if (item.endsWith('|')) {
            ASSERT_EQ(::mkfifo(name.constData(), 0644), 0) << s(item);
        } else if (item.contains('=')) {
            writeFile(path, item.section('=', 1).toUtf8());
        }
    }
}

// What the link at |path| says, or "" when no link is there.
inline std::string linkText(const QString& path)
{
    char text[4096];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), text, sizeof text);
    return size < 0 ? std::string() : std::string(text, static_cast<size_t>(size));
}

// Checks a tree under |root| against items separated by spaces: "file=content", "path-" (nothing
// there, not even a link), "dir/", "link->target" (%R as in makeTree) and "path:0755" (its mode).
inline void expectTree(const QString& root, const QString& items)
{
    for (const QString& item : items.split(' ', Qt::SkipEmptyParts)) {
        const QString path = root + '/' + item.section(QRegularExpression("->|=|:|-$"), 0, 0);
        const QFileInfo info(path);
        if (item.endsWith('-'))
            EXPECT_FALSE(info.exists() || info.isSymLink()) << s(item);
        else if (item.endsWith('/'))
            EXPECT_TRUE(info.isDir() && !info.isSymLink()) << s(item);
        else if (item.contains("->"))
            EXPECT_EQ(linkText(path), s(item.section("->", 1).replace("%R", root))) << s(item);
        else if (item.contains(':'))
            EXPECT_EQ(statOf(path).st_mode & 07777, item.section(':', 1).toUInt(nullptr, 8))
                << s(item);
        else
            EXPECT_TRUE(info.isFile() && !info.isSymLink()
                && readAll(path) == item.section('=', 1).toUtf8())
                << s(item) << " holds '" << readAll(path).toStdString() << "'";
    }
}

} // namespace testsupport
