// SPDX-License-Identifier: MIT
#include "RunLog.h"

#include <iostream>

void logLine(const QByteArray& line)
{
    std::cout.write(line.constData(), line.size());
    std::cout << '\n';
}

QByteArray logText(const QByteArray& utf8)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else {
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0xf];
        }
    }
    return escaped;
}

QByteArray logText(const QString& text) { return logText(text.toUtf8()); }
