// SPDX-License-Identifier: MIT
#include "json.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QStringList>
#include <QtGlobal>

namespace JsonCodec {

namespace {

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
            return Json::ObjectOpen;
        case '}':
            return Json::ObjectClose;
        case '[':
            return Json::ArrayOpen;
        case ']':
            return Json::ArrayClose;
        case ':':
            return Json::Colon;
        case ',':
            return Json::Comma;
        case '"':
            return Json::StringStart;
        default:
            break;
        }
        if (c == QLatin1Char('-') || (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            return Json::NumberStart;
        return Json::NoToken;
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

    bool canConvertTo(const QVariant& value, int typeId)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        return value.canConvert(QMetaType(typeId));
#else
        return value.canConvert(typeId);
#endif
    }

    // Escapes |str| and puts it between quotation marks. The backslashes are doubled first so
    // that the ones the later replacements insert stay single.
    QString sanitizeString(QString str)
    {
        str.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        str.replace(QLatin1Char('"'), QLatin1String("\\\""));
        str.replace(QLatin1Char('\b'), QLatin1String("\\b"));
        str.replace(QLatin1Char('\f'), QLatin1String("\\f"));
        str.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        str.replace(QLatin1Char('\r'), QLatin1String("\\r"));
        str.replace(QLatin1Char('\t'), QLatin1String("\\t"));
        // arg() does not rescan what it substitutes, so a "%" in the text is copied unchanged.
        return QStringLiteral("\"%1\"").arg(str);
    }

    QByteArray join(const QList<QByteArray>& list, const QByteArray& sep)
    {
        QByteArray result;
        for (const QByteArray& piece : list) {
            if (!result.isEmpty())
                result += sep;
            result += piece;
        }
        return result;
    }

    QByteArray quoted(const QString& str) { return sanitizeString(str).toUtf8(); }

    // Nested values go through the one-argument serialize, so a nested map always breaks lines
    // with "\r\n" and a nested failure shows only as a null result.
    QByteArray serializeList(const QVariantList& list, bool& success)
    {
        QList<QByteArray> pieces;
        for (const QVariant& element : list) {
            const QByteArray text = Json::serialize(element);
            if (text.isNull()) {
                success = false;
                return QByteArray();
            }
            pieces.append(text);
        }
        return "[ " + join(pieces, ", ") + " ]";
    }

    QByteArray serializeMember(const QString& key, const QVariant& value)
    {
        const QByteArray text = Json::serialize(value);
        if (text.isNull())
            return QByteArray();
        return quoted(key) + " : " + text;
    }

    QByteArray serializeHash(const QVariantHash& hash, bool& success)
    {
        QList<QByteArray> pieces;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it) {
            const QByteArray piece = serializeMember(it.key(), it.value());
            if (piece.isNull()) {
                success = false;
                return QByteArray();
            }
            pieces.append(piece);
        }
        return "{ " + join(pieces, ", ") + " }";
    }

    QByteArray serializeMap(const QVariantMap& map, bool& success, const QByteArray& lineBreak)
    {
        QList<QByteArray> pieces;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QByteArray piece = serializeMember(it.key(), it.value());
            if (piece.isNull()) {
                success = false;
                return QByteArray();
            }
            pieces.append(piece);
        }
        return "{ " + lineBreak + join(pieces, ", " + lineBreak) + " }" + lineBreak;
    }

    // A whole-number double keeps a "." or an "e" so that it reads back as a double.
    QByteArray serializeDouble(double value)
    {
        QByteArray text = QByteArray::number(value, 'g', 20);
        if (!text.contains('.') && !text.contains('e'))
            text += ".0";
        return text;
    }

    // Numbers, truth values and whatever converts to text; a null result when nothing fits.
    QByteArray serializeScalar(const QVariant& data)
    {
        switch (data.userType()) {
        case QMetaType::QString:
        case QMetaType::QByteArray:
            return quoted(data.toString());
        case QMetaType::Double:
            return serializeDouble(data.toDouble());
        case QMetaType::Bool:
            return data.toBool() ? QByteArray("true") : QByteArray("false");
        case QMetaType::ULongLong:
            return QByteArray::number(data.toULongLong(), 10);
        default:
            break;
        }
        if (canConvertTo(data, QMetaType::LongLong))
            return QByteArray::number(qvariant_cast<qlonglong>(data), 10);
        if (canConvertTo(data, QMetaType::Long))
            return QString::number(qvariant_cast<long>(data), 10).toUtf8();
        if (canConvertTo(data, QMetaType::QString))
            return quoted(data.toString());
        return QByteArray();
    }

} // namespace

QVariant Json::parse(const QString& json)
{
    bool success = true;
    return parse(json, success);
}

QVariant Json::parse(const QString& json, bool& success)
{
    success = true;
    // A null text is "no document", which callers treat like a null value rather than an error.
    if (json.isNull())
        return QVariant();
    int index = 0;
    return parseValue(json, index, success, 0);
}

QVariant Json::parseValue(const QString& json, int& index, bool& success, int depth)
{
    switch (lookAhead(json, index)) {
    case ObjectOpen:
        return parseObject(json, index, success, depth);
    case ArrayOpen:
        return parseArray(json, index, success, depth);
    case StringStart:
        return parseString(json, index, success);
    case NumberStart:
        return parseNumber(json, index);
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
QVariant Json::parseObject(const QString& json, int& index, bool& success, int depth)
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

QVariant Json::parseArray(const QString& json, int& index, bool& success, int depth)
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

QVariant Json::parseString(const QString& json, int& index, bool& success)
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

// Numbers are not checked against the JSON grammar: a run the conversion rejects yields 0.
QVariant Json::parseNumber(const QString& json, int& index)
{
    eatWhitespace(json, index);
    const int last = lastIndexOfNumber(json, index);
    const QString number = json.mid(index, last - index + 1);
    index = last + 1;

    // An exponent without "." is what the writer produces for large and small doubles.
    if (number.contains(QLatin1Char('.')) || number.contains(QLatin1Char('e'))
        || number.contains(QLatin1Char('E')))
        return QVariant(number.toDouble());
    if (number.startsWith(QLatin1Char('-')))
        return QVariant(number.toLongLong(nullptr, 10));
    return QVariant(number.toULongLong(nullptr, 10));
}

int Json::lastIndexOfNumber(const QString& json, int index)
{
    int last = index;
    while (last < json.length() && isNumberChar(json.at(last)))
        ++last;
    return last - 1;
}

void Json::eatWhitespace(const QString& json, int& index)
{
    while (index < json.length() && isWhitespace(json.at(index)))
        ++index;
}

int Json::lookAhead(const QString& json, int index) { return nextToken(json, index); }

int Json::nextToken(const QString& json, int& index)
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

QByteArray Json::serialize(const QVariant& data)
{
    bool success = true;
    return serialize(data, success, "\r\n");
}

QByteArray Json::serialize(const QVariant& data, bool& success, QByteArray lineBreak)
{
    success = true;
    QByteArray str;
    if (!data.isValid()) {
        str = "null";
    } else {
        switch (data.userType()) {
        case QMetaType::QVariantList:
        case QMetaType::QStringList:
            str = serializeList(data.toList(), success);
            break;
        case QMetaType::QVariantHash:
            str = serializeHash(data.toHash(), success);
            break;
        case QMetaType::QVariantMap:
            str = serializeMap(data.toMap(), success, lineBreak);
            break;
        default:
            str = serializeScalar(data);
            if (str.isNull())
                success = false;
            break;
        }
    }
    return success ? str : QByteArray();
}

} // namespace JsonCodec
