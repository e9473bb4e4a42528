// SPDX-License-Identifier: MIT
// JSON reader and writer over QVariant trees.
//
// The reader is lenient: it reads one value from the start of the text and ignores what follows,
// commas are optional separators, numbers are taken as whole runs of number characters and escape
// sequences that JSON does not define are dropped. Objects become QVariantMap, arrays QVariantList,
// strings QString, numbers with "." double, other numbers qlonglong (leading "-") or qulonglong,
// true/false bool and null an invalid QVariant.
//
// A number text that Qt's conversion rejects yields 0 of its type, but a number beyond the range
// of its type (a double that rounds to infinity, or to zero from a value other than zero; a whole
// number beyond 64 bits) fails the read: it never reads as 0 or infinity.
//
// The writer turns a QVariant tree back into JSON text (UTF-8) in a fixed layout. It escapes
// every character below U+0020 (as "\u00XX" where JSON has no short escape) and a lone
// surrogate ("\uXXXX"), so any QString reads back as itself. It fails on a double (or float)
// that is infinite or NaN, which JSON cannot hold.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

namespace JsonCodec {

class Json {
public:
    // Token codes returned by nextToken() and lookAhead().
    enum TokenKind {
        NoToken = 0,
        ObjectOpen = 1,
        ObjectClose = 2,
        ArrayOpen = 3,
        ArrayClose = 4,
        Colon = 5,
        Comma = 6,
        StringStart = 7,
        NumberStart = 8,
        LiteralTrue = 9,
        LiteralFalse = 10,
        LiteralNull = 11
    };

    // Arrays and objects nested deeper than this make the reader fail instead of recursing on.
    static constexpr int MaxDepth = 512;

    // Reads the first JSON value of |json|. |success| is set to true on entry and cleared on any
    // failure; after a failure the result is an empty map (object document), an empty list (array
    // document) or an invalid QVariant, never a partial tree. A null QString yields QVariant() with
    // |success| true.
    static QVariant parse(const QString& json, bool& success);
    static QVariant parse(const QString& json);

    // Writes |data| as UTF-8 JSON text. A null QByteArray means that some value, at any depth,
    // could not be written; |success| is cleared then. |lineBreak| goes after the opening brace,
    // after each separator and after the closing brace of a QVariantMap at the top level; nested
    // maps always use "\r\n".
    static QByteArray serialize(const QVariant& data);
    static QByteArray serialize(const QVariant& data, bool& success, QByteArray lineBreak);
};

} // namespace JsonCodec
