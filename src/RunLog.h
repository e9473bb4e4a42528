// SPDX-License-Identifier: MIT
// The run's log: one line per event, written to the standard output stream, which the run may have
// redirected into its log file.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <streambuf>

// Writes |line| and a line end to the run's log and hands the line on at once, so that a run that
// is killed still leaves every line it wrote. |line| must already be one line: every text taken
// from outside (a path, a name, a document's message) goes through logText() first.
void logLine(const QByteArray& line);

// |text| as UTF-8 with its control characters (U+0000 to U+001F and U+007F) escaped: "\n", "\r"
// and "\t" as a backslash and the letter, the others as "\x" and two hexadecimal digits. A text
// from a document can thus never start a log line of its own.
QByteArray logText(const QString& text);
QByteArray logText(const QByteArray& utf8);

// "Info: " + |what| + " ok" when |ok|, else "Warning: " + |what| + " failed".
void logOutcome(bool ok, const QByteArray& what);

class TLogFileBuffer;

// The "-out=" log file. While it is open, the standard output stream writes into it.
class TRunLogFile {
public:
    TRunLogFile();
    ~TRunLogFile();
    TRunLogFile(const TRunLogFile&) = delete;
    TRunLogFile& operator=(const TRunLogFile&) = delete;

    // Opens |fileName| for appending (created when missing) and sends the standard output stream
    // into it. The open never blocks (a FIFO without a reader fails at once) and the descriptor is
    // closed on exec, so no restarted program inherits the log. False when it cannot be opened;
    // |error| then holds the system's reason and the standard output stays as it was.
    bool open(const QString& fileName, QString& error);

    // Gives the standard output stream its own buffer back, then writes out, syncs to disk and
    // closes the file. False when a write, the sync or the close failed, at any time since open();
    // |error| then holds the first reason.
    bool close(QString& error);

    bool isOpen() const { return m_buffer != nullptr; }

private:
    std::unique_ptr<TLogFileBuffer> m_buffer;
    std::streambuf* m_oldCoutBuf = nullptr;
};
