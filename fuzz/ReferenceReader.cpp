// SPDX-License-Identifier: MIT
// The reader as it was before it was made fast: it walks the text with QString::at(), builds
// strings a character at a time and cuts a substring for every number and "\u" escape. It follows
// the reading rules literally, which makes it the oracle the fuzzer holds the real reader to.
#include "ReferenceReader.h"

#include "json.h"

#include <QMap>

#include <cerrno>
#include <cmath>
#include <cstdlib>

using JsonCodec::Json;

namespace {

struct Reference : Json {
    static QVariant parseValue(const QString& json, int& index, bool& success, int depth);
    static QVariant parseObject(const QString& json, int& index, bool& success, int depth);
    static QVariant parseArray(const QString& json, int& index, bool& success, int depth);
    static QVariant parseString(const QString& json, int& index, bool& success);
    static QVariant parseNumber(const QString& json, int& index, bool& success);
    static int lastIndexOfNumber(const QString& json, int index);
    static void eatWhitespace(const QString& json, int& index);
    static int lookAhead(const QString& json, int index);
    static int nextToken(const QString& json, int& index);
};

bool isWhitespace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
        || c == QLatin1Char('\r');
}

bool isNumberChar(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || u == '+' || u == '-' || u == '.' || u == 'e' || u == 'E';
}

// True when |word| stands at |index|; a text too short to hold it does not match.
bool matchesAt(const QString& json, int index, const char* word)
{
    for (int i = 0; word[i]; ++i) {
        if (index + i >= json.length() || json.at(index + i) != QLatin1Char(word[i]))
            return false;
    }
    return true;
}

// The code of the tokens that are one character long, NoToken for any other character.
int singleCharToken(QChar c)
{
    switch (c.unicode()) {
    case '{':
        return Reference::ObjectOpen;
    case '}':
        return Reference::ObjectClose;
    case '[':
        return Reference::ArrayOpen;
    case ']':
        return Reference::ArrayClose;
    case ':':
        return Reference::Colon;
    case ',':
        return Reference::Comma;
    case '"':
        return Reference::StringStart;
    default:
        break;
    }
    if (c == QLatin1Char('-') || (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
        return Reference::NumberStart;
    return Reference::NoToken;
}

// Resolves the character after a backslash, except "u"; a character JSON does not define
// yields a null QChar, meaning the escape is dropped.
QChar simpleEscape(QChar c)
{
    switch (c.unicode()) {
    case '"':
        return QLatin1Char('"');
    case '\\':
        return QLatin1Char('\\');
    case '/':
        return QLatin1Char('/');
    case 'b':
        return QLatin1Char('\b');
    case 'f':
        return QLatin1Char('\f');
    case 'n':
        return QLatin1Char('\n');
    case 'r':
        return QLatin1Char('\r');
    case 't':
        return QLatin1Char('\t');
    default:
        return QChar();
    }
}

QVariant Reference::parseValue(const QString& json, int& index, bool& success, int depth)
{
    switch (lookAhead(json, index)) {
    case ObjectOpen:
        return parseObject(json, index, success, depth);
    case ArrayOpen:
        return parseArray(json, index, success, depth);
    case StringStart:
        return parseString(json, index, success);
    case NumberStart:
        return parseNumber(json, index, success);
    case LiteralTrue:
        nextToken(json, index);
        return QVariant(true);
    case LiteralFalse:
        nextToken(json, index);
        return QVariant(false);
    case LiteralNull:
        nextToken(json, index);
        return QVariant();
    default:
        success = false;
        return QVariant();
    }
}

// |depth| counts the containers around this one; refusing to go deeper keeps hostile input from
// exhausting the stack.
QVariant Reference::parseObject(const QString& json, int& index, bool& success, int depth)
{
    if (depth >= MaxDepth) {
        success = false;
        return QVariantMap();
    }
    QVariantMap map;
    nextToken(json, index);
    for (;;) {
        const int token = lookAhead(json, index);
        if (token == NoToken) {
            success = false;
            return QVariantMap();
        }
        if (token == Comma) {
            nextToken(json, index);
            continue;
        }
        if (token == ObjectClose) {
            nextToken(json, index);
            return map;
        }
        const QString key = parseString(json, index, success).toString();
        if (!success)
            return QVariantMap();
        if (nextToken(json, index) != Colon) {
            success = false;
            return QVariantMap();
        }
        const QVariant value = parseValue(json, index, success, depth + 1);
        if (!success)
            return QVariantMap();
        map.insert(key, value);
    }
}

QVariant Reference::parseArray(const QString& json, int& index, bool& success, int depth)
{
    if (depth >= MaxDepth) {
        success = false;
        return QVariantList();
    }
    QVariantList list;
    nextToken(json, index);
    for (;;) {
        const int token = lookAhead(json, index);
        if (token == NoToken) {
            success = false;
            return QVariantList();
        }
        if (token == Comma) {
            nextToken(json, index);
            continue;
        }
        if (token == ArrayClose) {
            nextToken(json, index);
            return list;
        }
        const QVariant value = parseValue(json, index, success, depth + 1);
        if (!success)
            return QVariantList();
        list.append(value);
    }
}

QVariant Reference::parseString(const QString& json, int& index, bool& success)
{
    eatWhitespace(json, index);
    // The opening character is taken unseen: callers only come here after a token was found.
    ++index;
    QString text; // stays null when nothing is appended, so "" yields a null QString
    while (index < json.length()) {
        const QChar c = json.at(index++);
        if (c == QLatin1Char('"'))
            return QVariant(text);
        if (c != QLatin1Char('\\')) {
            text.append(c);
            continue;
        }
        if (index == json.length())
            break;
        const QChar escape = json.at(index++);
        if (escape == QLatin1Char('u')) {
            if (json.length() - index < 4)
                break;
            // A text that is not hexadecimal converts to 0 and so appends U+0000.
            const int code = json.mid(index, 4).toInt(nullptr, 16);
            text.append(QChar(static_cast<ushort>(code & 0xFFFF)));
            index += 4;
            continue;
        }
        const QChar resolved = simpleEscape(escape);
        if (!resolved.isNull())
            text.append(resolved);
    }
    success = false;
    return QVariant();
}

// A whole decimal number beyond a double's range: strtod (in the C locale, which the fuzzer never
// changes) reads all of it and gives infinity, or zero with ERANGE.
bool isBeyondDouble(const QString& number)
{
    const QByteArray text = number.toLatin1();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.constData(), &end);
    return end == text.constData() + text.size()
        && (std::isinf(value) || (value == 0.0 && errno == ERANGE));
}

bool isDigits(const QString& text)
{
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return !text.isEmpty();
}

// Numbers are not checked against the JSON grammar: a run the conversion rejects yields 0, and
// one that names a number beyond its type's range fails.
QVariant Reference::parseNumber(const QString& json, int& index, bool& success)
{
    eatWhitespace(json, index);
    const int last = lastIndexOfNumber(json, index);
    const QString number = json.mid(index, last - index + 1);
    index = last + 1;

    // An exponent without "." is what the writer produces for large and small doubles.
    if (number.contains(QLatin1Char('.')) || number.contains(QLatin1Char('e'))
        || number.contains(QLatin1Char('E'))) {
        bool ok = false;
        const double value = number.toDouble(&ok);
        if (!ok && isBeyondDouble(number))
            success = false;
        return success ? QVariant(ok ? value : 0.0) : QVariant();
    }
    bool ok = false;
    if (number.startsWith(QLatin1Char('-'))) {
        const qlonglong value = number.toLongLong(&ok, 10);
        if (!ok && isDigits(number.mid(1)))
            success = false;
        return success ? QVariant(value) : QVariant();
    }
    const qulonglong value = number.toULongLong(&ok, 10);
    if (!ok && isDigits(number))
        success = false;
    return success ? QVariant(value) : QVariant();
}

int Reference::lastIndexOfNumber(const QString& json, int index)
{
    int last = index;
    while (last < json.length() && isNumberChar(json.at(last)))
        ++last;
    return last - 1;
}

void Reference::eatWhitespace(const QString& json, int& index)
{
    while (index < json.length() && isWhitespace(json.at(index)))
        ++index;
}

int Reference::lookAhead(const QString& json, int index) { return nextToken(json, index); }

int Reference::nextToken(const QString& json, int& index)
{
    eatWhitespace(json, index);
    if (index == json.length())
        return NoToken;

    const int token = singleCharToken(json.at(index));
    if (token != NoToken) {
        ++index;
        return token;
    }
    // Only the literal's own letters are compared, so "truest" reads as true followed by "st".
    if (matchesAt(json, index, "true")) {
        index += 4;
        return LiteralTrue;
    }
    if (matchesAt(json, index, "false")) {
        index += 5;
        return LiteralFalse;
    }
    if (matchesAt(json, index, "null")) {
        index += 4;
        return LiteralNull;
    }
    return NoToken;
}

} // namespace

QVariant referenceParse(const QString& json, bool& success)
{
    success = true;
    if (json.isNull())
        return QVariant();
    int index = 0;
    return Reference::parseValue(json, index, success, 0);
}
