// SPDX-License-Identifier: MIT
// Writing the description document so that a failed write is never taken for a whole document.
//
// QSaveFile is not used: its writes below 16 KiB only fill a buffer and report success, and the
// error of the flush that commit() makes is not looked at, so a document cut short by a full disk
// or a file-size limit was renamed over the old one. These functions check every system call.
#pragma once

#include <QByteArray>
#include <QString>

// Replaces |path| with a file holding |data|, or leaves whatever was at |path| untouched. The
// document is written to ".<name>.new" in the same directory, synced, and renamed over |path| in
// one step (replaceFileAt()); a symbolic link at |path| is replaced, not followed. On failure
// |error| holds the system's reason and no temporary file is left behind.
bool saveDocument(const QString& path, const QByteArray& data, QString& error);

// Remembers whether the standard output was there, then opens /dev/null on each standard
// descriptor that the caller left closed (guardStandardDescriptors()), so that a message to the
// standard error never goes into the document. Call it before anything opens a file.
bool prepareStandardOutput();

// Writes |data| whole to the standard output and closes it, so that an error that shows only at the
// close (a full disk under a network file system) is reported too. A standard output that was
// closed when the program started is a failure. |error| holds the reason.
bool printDocument(const QByteArray& data, QString& error);
