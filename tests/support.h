// SPDX-License-Identifier: MIT
// Helpers the test programs share: files, unique helper processes and the log lines that a walk of
// the machine's real process table may add at random.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

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
    const QByteArray name = "Name:\t" + QFileInfo(exe).fileName().toLatin1() + '\n';
    for (int i = 0;
         i < 500 && readAll(QString("/proc/%1/status").arg(pid)).left(name.size()) != name; ++i)
        usleep(10000);
    return pid;
}

// The warnings about processes that ended while the real process table was walked.
inline bool endedDuringWalk(const QString& line)
{
    static const QRegularExpression race(
        "^Warning: (stat '/proc/\\d+' failed|open failed, |format error, ''$)");
    return race.match(line).hasMatch();
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

} // namespace testsupport
