// SPDX-License-Identifier: MIT
// The SHA-256 checksums that a description may give for its new files.
#pragma once

#include <QByteArray>
#include <QString>

// The SHA-256 of the contents of |path| as 64 lower-case hexadecimal digits, read in blocks (never
// the whole file in memory). An empty result when the file cannot be read; |error| then holds the
// reason with the path.
QByteArray fileSha256(const QString& path, QString& error);

// The SHA-256 of what is left to read from the open file |fd|, as fileSha256 gives it; empty when
// a read fails (errno then tells why).
QByteArray descriptorSha256(int fd);

// True when |text| is 64 hexadecimal digits, in either case.
bool isSha256Text(const QString& text);
