// SPDX-License-Identifier: MIT
// The run's log: one line per event, written to the standard output stream, which the run may have
// redirected into its log file.
#pragma once

#include <QByteArray>
#include <QString>

// Writes |line| and a line end to the run's log. Nothing is flushed here. |line| must already be
// one line: every text taken from outside (a path, a name, a document's message) goes through
// logText() first.
void logLine(const QByteArray& line);

// |text| as UTF-8 with its control characters (U+0000 to U+001F and U+007F) escaped: "\n", "\r"
// and "\t" as a backslash and the letter, the others as "\x" and two hexadecimal digits. A text
// from a document can thus never start a log line of its own.
QByteArray logText(const QString& text);
QByteArray logText(const QByteArray& utf8);
