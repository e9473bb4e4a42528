// SPDX-License-Identifier: MIT
#include "json.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QStringList>
#include <QStringView>
#include <QtGlobal>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

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

    // True when |word| stands at |p|; a text too short to hold it does not match.
    bool matchesAt(const QChar* p, const QChar* end, const char* word)
    {
        for (int i = 0; word[i]; ++i) {
            if (p + i == end || p[i] != QLatin1Char(word[i]))
                return false;
        }
        return true;
    }

    // The token that each ASCII character starts on its own: one look-up on the reader's hottest
    // path. NoToken is zero, so every other character has it.
    struct TokenTable {
        int token[128] = {};
        constexpr TokenTable()
        {
            const char singles[] = "{}[]:,\"";
            const int kinds[] = { Json::ObjectOpen, Json::ObjectClose, Json::ArrayOpen,
                Json::ArrayClose, Json::Colon, Json::Comma, Json::StringStart };
            for (int i = 0; singles[i]; ++i)
                token[int(singles[i])] = kinds[i];
            token[int('-')] = Json::NumberStart;
            for (char digit = '0'; digit <= '9'; ++digit)
                token[int(digit)] = Json::NumberStart;
        }
    };

    int singleCharToken(QChar c)
    {
        static constexpr TokenTable table;
        return c.unicode() < 128 ? table.token[c.unicode()] : int(Json::NoToken);
    }

    // Resolves the character after a backslash, except "u"; a character JSON does not define
    // yields a null QChar, meaning the escape is dropped.
    QChar simpleEscape(QChar c)
    {
        // Each escape letter followed by the character it stands for.
        static constexpr char escapes[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
        for (const char* at = escapes; *at; at += 2) {
            if (c == QLatin1Char(at[0]))
                return QLatin1Char(at[1]);
        }
        return QChar();
    }

    // Runs of number characters longer than this are rare enough to go to Qt's conversion.
    constexpr int MaxQuickNumber = 64;

    // True when |text| (ASCII) is -?D+(.D+)?([eE][+-]?D+)?: a form that std::from_chars and
    // Qt's conversion both accept and both round correctly.
    bool isPlainDecimal(const char* text, int length)
    {
        int i = text[0] == '-' ? 1 : 0;
        const auto digits = [&] {
            const int first = i;
            while (i < length && text[i] >= '0' && text[i] <= '9')
                ++i;
            return i > first;
        };
        if (!digits())
            return false;
        if (i < length && text[i] == '.' && (++i, !digits()))
            return false;
        if (i < length && (text[i] == 'e' || text[i] == 'E')) {
            ++i;
            if (i < length && (text[i] == '+' || text[i] == '-'))
                ++i;
            if (!digits())
                return false;
        }
        return i == length;
    }

    // True when |start| to |stop| is a whole decimal number beyond a double's range: its
    // magnitude rounds to infinity, or a value other than zero rounds to zero.
    bool isBeyondDouble(const QChar* start, const QChar* stop)
    {
        const QByteArray text = QStringView(start, stop - start).toLatin1();
        const char* const last = text.constData() + text.size();
        double value = 0.0;
        const auto result = std::from_chars(text.constData(), last, value);
        return result.ec == std::errc::result_out_of_range && result.ptr == last;
    }

    // A text that Qt's conversion rejects yields 0.0, unless it is a number beyond a double's
    // range: that clears |fits|, for it would read as 0 or infinity, a value nobody wrote.
    double toDouble(const QChar* start, const QChar* stop, bool& fits)
    {
        const qsizetype length = stop - start;
        if (length <= MaxQuickNumber) {
            char text[MaxQuickNumber];
            for (int i = 0; i < length; ++i)
                text[i] = char(start[i].unicode()); // number characters are ASCII
            double value = 0.0;
            const auto result = std::from_chars(text, text + length, value);
            // Zero goes to Qt as well, which tells an underflow (0.0) from a negative zero.
            if (isPlainDecimal(text, length) && result.ec == std::errc()
                && result.ptr == text + length && value != 0.0)
                return value;
        }
        bool ok = false;
        const double value = QStringView(start, length).toDouble(&ok);
        if (ok)
            return value;
        fits = !isBeyondDouble(start, stop);
        return 0.0;
    }

    enum class Digits { Plain, Other, Overflow };

    // Reads plain decimal digits into |value|, no greater than |limit|.
    // Overflow only when every character is a digit: a text with another character in it is
    // Other, however many digits come first.
    Digits readDigits(const QChar* start, const QChar* stop, qulonglong limit, qulonglong& value)
    {
        value = 0;
        bool overflow = false;
        for (const QChar* c = start; c < stop; ++c) {
            const unsigned digit = unsigned(c->unicode()) - '0';
            if (digit > 9)
                return Digits::Other;
            overflow = overflow || value > (limit - digit) / 10;
            value = value * 10 + digit;
        }
        return overflow ? Digits::Overflow : Digits::Plain;
    }

    // Plain digits are converted here; any other text goes to Qt's conversion, which rejects it
    // with 0 as the reader's rule wants. Digits beyond the type's range clear |fits|.
    qulonglong toULongLong(const QChar* start, const QChar* stop, bool& fits)
    {
        qulonglong value = 0;
        switch (readDigits(start, stop, std::numeric_limits<qulonglong>::max(), value)) {
        case Digits::Plain:
            return value;
        case Digits::Other:
            return QStringView(start, stop - start).toULongLong(nullptr, 10);
        default:
            fits = false;
            return 0;
        }
    }

    // |start| is the leading "-".
    qlonglong toLongLong(const QChar* start, const QChar* stop, bool& fits)
    {
        constexpr qulonglong limit = qulonglong(std::numeric_limits<qlonglong>::max()) + 1;
        qulonglong magnitude = 0;
        const Digits digits
            = stop - start < 2 ? Digits::Other : readDigits(start + 1, stop, limit, magnitude);
        switch (digits) {
        case Digits::Plain:
            return magnitude == limit ? std::numeric_limits<qlonglong>::min()
                                      : -qlonglong(magnitude);
        case Digits::Other:
            return QStringView(start, stop - start).toLongLong(nullptr, 10);
        default:
            fits = false;
            return 0;
        }
    }

    // The four characters after "\u": whatever they are, Qt's base-16 conversion decides, and a
    // text it rejects gives U+0000. Four hexadecimal digits, by far the common case, are done
    // here.
    QChar unicodeEscape(const QChar* digits)
    {
        int code = 0;
        for (int i = 0; i < 4; ++i) {
            const ushort u = digits[i].unicode();
            const int value = u >= '0' && u <= '9' ? u - '0'
                : u >= 'a' && u <= 'f'             ? u - 'a' + 10
                : u >= 'A' && u <= 'F'             ? u - 'A' + 10
                                                   : -1;
            if (value < 0) {
                code = QStringView(digits, 4).toInt(nullptr, 16);
                break;
            }
            code = code * 16 + value;
        }
        return QChar(static_cast<ushort>(code & 0xFFFF));
    }

    struct StringScan {
        const QChar* close; // the closing quotation mark; null when the string is not closed
        qsizetype length; // of the resolved text
    };

    // Finds the end of a string by the rules resolveEscapes() applies and counts what it resolves
    // to, so that the text can be built in one allocation. Only a string without escapes resolves
    // to as many characters as it spans.
    StringScan scanString(const QChar* p, const QChar* end)
    {
        qsizetype length = 0; // not int: a Qt 6 string may hold more
        while (p < end) {
            const QChar c = *p++;
            if (c == QLatin1Char('"'))
                return { p - 1, length };
            if (c != QLatin1Char('\\')) {
                ++length;
                continue;
            }
            if (p == end)
                break;
            const QChar escape = *p++;
            if (escape == QLatin1Char('u')) {
                if (end - p < 4)
                    break;
                p += 4;
                ++length;
            } else if (!simpleEscape(escape).isNull()) {
                ++length;
            }
        }
        return { nullptr, 0 };
    }

    // |p| is the first character after the opening quotation mark of a string that scanString()
    // found closed and |length| long.
    QString resolveEscapes(const QChar* p, qsizetype length)
    {
        QString text(length, Qt::Uninitialized);
        QChar* out = text.data();
        while (*p != QLatin1Char('"')) {
            if (*p != QLatin1Char('\\')) {
                *out++ = *p++;
                continue;
            }
            const QChar escape = p[1];
            p += 2;
            if (escape == QLatin1Char('u')) {
                *out++ = unicodeEscape(p);
                p += 4;
                continue;
            }
            const QChar resolved = simpleEscape(escape);
            if (!resolved.isNull())
                *out++ = resolved;
        }
        return text;
    }

    // Keys of a description repeat ("path", "modified-time", ...): a small direct-mapped cache
    // hands out one shared QString per key instead of a new allocation per member.
    class KeyCache {
    public:
        QString take(const QChar* text, qsizetype length)
        {
            if (length > MaxKey)
                return QString(text, length);
            const unsigned slot
                = (unsigned(length) * 31u + text[0].unicode() * 7u
                      + text[length / 2].unicode() * 13u + text[length - 1].unicode())
                % Slots;
            QString& key = keys[slot];
            if (key.size() != length
                || std::memcmp(key.constData(), text, size_t(length) * sizeof(QChar)) != 0)
                key = QString(text, length);
            return key;
        }

    private:
        static constexpr int MaxKey = 64;
        static constexpr unsigned Slots = 61;
        QString keys[Slots];
    };

    bool canConvertTo(const QVariant& value, int typeId)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        return value.canConvert(QMetaType(typeId));
#else
        return value.canConvert(typeId);
#endif
    }

    // The two-character escape of the characters that have one; an empty text for any other.
    QLatin1String shortEscape(QChar c)
    {
        static const char from[] = "\"\\\b\f\n\r\t";
        static const char texts[][3] = { "\\\"", "\\\\", "\\b", "\\f", "\\n", "\\r", "\\t" };
        const ushort u = c.unicode();
        const char* at = u == 0 || u > '\\' ? nullptr : std::strchr(from, static_cast<char>(u));
        return at ? QLatin1String(texts[at - from], 2) : QLatin1String();
    }

    // True when the code unit at |i| is a surrogate without its partner.
    bool isLoneSurrogate(const QString& str, qsizetype i)
    {
        const QChar c = str.at(i);
        if (c.isHighSurrogate())
            return i + 1 == str.size() || !str.at(i + 1).isLowSurrogate();
        return c.isLowSurrogate() && (i == 0 || !str.at(i - 1).isHighSurrogate());
    }

    void appendUnicodeEscape(QString& out, QChar c)
    {
        static const char hex[] = "0123456789abcdef";
        const ushort u = c.unicode();
        const char text[] = { '\\', 'u', hex[u >> 12], hex[(u >> 8) & 15], hex[(u >> 4) & 15],
            hex[u & 15], '\0' };
        out += QLatin1String(text);
    }

    // Escapes |str| and puts it between quotation marks: the short escapes, "\u00XX" for the
    // other characters below U+0020, which strict readers refuse raw, and "\uXXXX" for a lone
    // surrogate, which UTF-8 cannot carry: written through it, it would become a replacement
    // character, and two different keys could become one.
    QString sanitizeString(const QString& str)
    {
        QString out;
        out.reserve(str.size() + 2);
        out += QLatin1Char('"');
        for (qsizetype i = 0; i < str.size(); ++i) {
            const QChar c = str.at(i);
            const QLatin1String escape = shortEscape(c);
            if (escape.size() > 0)
                out += escape;
            else if (c.unicode() < 0x20 || isLoneSurrogate(str, i))
                appendUnicodeEscape(out, c);
            else
                out += c;
        }
        out += QLatin1Char('"');
        return out;
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

    // A map or a hash in its own order of keys. A hash is written on one line, as a map is with
    // an empty |lineBreak|.
    template <class Members>
    QByteArray serializeMembers(const Members& members, bool& success, const QByteArray& lineBreak)
    {
        QList<QByteArray> pieces;
        for (auto it = members.cbegin(); it != members.cend(); ++it) {
            const QByteArray text = Json::serialize(it.value());
            if (text.isNull()) {
                success = false;
                return QByteArray();
            }
            pieces.append(quoted(it.key()) + " : " + text);
        }
        return "{ " + lineBreak + join(pieces, ", " + lineBreak) + " }" + lineBreak;
    }

    // A whole-number double keeps a "." or an "e" so that it reads back as a double.
    // JSON has no text for infinity or NaN ("inf.0" would be read by nobody): a null result.
    QByteArray serializeDouble(double value)
    {
        if (!std::isfinite(value))
            return QByteArray();
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
        // A float would otherwise be rounded to a whole number by the integer conversion below,
        // which is undefined for infinity and values beyond 64 bits.
        case QMetaType::Float:
            return serializeDouble(double(data.toFloat()));
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

    // The reader walks the caller's text in place: strings are resolved straight into their final
    // QString in one allocation, numbers are converted from the text itself, and the keys that a
    // description repeats thousands of times share one QString each.
    class Reader {
    public:
        explicit Reader(const QString& json)
            : end(json.constData() + json.size())
            , p(json.constData())
        {
        }

        QVariant parseValue(bool& success, int depth);

    private:
        template <class Container, class ReadEntry>
        QVariant parseContainer(bool& success, int depth, int close, ReadEntry readEntry);
        QVariant parseObject(bool& success, int depth);
        QVariant parseArray(bool& success, int depth);
        QVariant parseString(bool& success);
        bool readString(QString& text, bool isKey);
        QVariant parseNumber(bool& success);
        void eatWhitespace();
        int nextToken();
        int lookAhead();

        const QChar* const end;
        const QChar* p; // never past |end|
        KeyCache keys;
    };

    QVariant Reader::parseValue(bool& success, int depth)
    {
        switch (lookAhead()) {
        case Json::ObjectOpen:
            return parseObject(success, depth);
        case Json::ArrayOpen:
            return parseArray(success, depth);
        case Json::StringStart:
            return parseString(success);
        case Json::NumberStart:
            return parseNumber(success);
        case Json::LiteralTrue:
            nextToken();
            return QVariant(true);
        case Json::LiteralFalse:
            nextToken();
            return QVariant(false);
        case Json::LiteralNull:
            nextToken();
            return QVariant();
        default:
            success = false;
            return QVariant();
        }
    }

    // Members and elements alike: commas are optional and may repeat, and the first failure inside
    // drops the whole container. |depth| counts the containers around this one; refusing to go
    // deeper keeps hostile input from exhausting the stack.
    template <class Container, class ReadEntry>
    QVariant Reader::parseContainer(bool& success, int depth, int close, ReadEntry readEntry)
    {
        Container container;
        if (depth >= Json::MaxDepth) {
            success = false;
            return Container();
        }
        nextToken();
        for (;;) {
            const int token = lookAhead();
            if (token == Json::Comma) {
                nextToken();
            } else if (token == close) {
                nextToken();
                return container;
            } else if (token == Json::NoToken || !readEntry(container, depth + 1)) {
                success = false;
                return Container();
            }
        }
    }

    QVariant Reader::parseObject(bool& success, int depth)
    {
        return parseContainer<QVariantMap>(
            success, depth, Json::ObjectClose, [&](QVariantMap& map, int inner) {
                QString key;
                if (!readString(key, true) || nextToken() != Json::Colon)
                    return false;
                const QVariant value = parseValue(success, inner);
                if (success)
                    map.insert(key, value);
                return success;
            });
    }

    QVariant Reader::parseArray(bool& success, int depth)
    {
        return parseContainer<QVariantList>(
            success, depth, Json::ArrayClose, [&](QVariantList& list, int inner) {
                const QVariant value = parseValue(success, inner);
                if (success)
                    list.append(value);
                return success;
            });
    }

    QVariant Reader::parseString(bool& success)
    {
        QString text;
        if (readString(text, false))
            return QVariant(text);
        success = false;
        return QVariant();
    }

    // The opening character is taken unseen: callers only come here after a token was found. A
    // resolved text that is empty stays a null QString.
    bool Reader::readString(QString& text, bool isKey)
    {
        eatWhitespace();
        ++p;
        const StringScan scan = scanString(p, end);
        if (!scan.close) {
            p = end;
            return false;
        }
        const qsizetype raw = scan.close - p;
        if (scan.length > 0 && scan.length == raw)
            text = isKey ? keys.take(p, raw) : QString(p, raw);
        else if (scan.length > 0)
            text = resolveEscapes(p, scan.length);
        p = scan.close + 1;
        return true;
    }

    // Numbers are not checked against the JSON grammar: a run the conversion rejects yields 0.
    // A number beyond the range of its type fails the read.
    QVariant Reader::parseNumber(bool& success)
    {
        eatWhitespace();
        const QChar* const start = p;
        bool fraction = false; // "." or an exponent
        while (p < end && isNumberChar(*p)) {
            const ushort u = p->unicode();
            fraction = fraction || u == '.' || u == 'e' || u == 'E';
            ++p;
        }
        // An exponent without "." is what the writer produces for large and small doubles.
        bool fits = true;
        QVariant value;
        if (fraction)
            value = QVariant(toDouble(start, p, fits));
        else if (*start == QLatin1Char('-'))
            value = QVariant(toLongLong(start, p, fits));
        else
            value = QVariant(toULongLong(start, p, fits));
        if (fits)
            return value;
        success = false;
        return QVariant();
    }

    void Reader::eatWhitespace()
    {
        while (p < end && isWhitespace(*p))
            ++p;
    }

    int Reader::lookAhead()
    {
        const QChar* const here = p;
        const int token = nextToken();
        p = here;
        return token;
    }

    int Reader::nextToken()
    {
        eatWhitespace();
        if (p == end)
            return Json::NoToken;

        const int token = singleCharToken(*p);
        if (token != Json::NoToken) {
            ++p;
            return token;
        }
        // Only the literal's own letters are compared, so "truest" reads as true followed by "st".
        if (matchesAt(p, end, "true")) {
            p += 4;
            return Json::LiteralTrue;
        }
        if (matchesAt(p, end, "false")) {
            p += 5;
            return Json::LiteralFalse;
        }
        if (matchesAt(p, end, "null")) {
            p += 4;
            return Json::LiteralNull;
        }
        return Json::NoToken;
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
    return Reader(json).parseValue(success, 0);
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
            str = serializeMembers(data.toHash(), success, QByteArray());
            break;
        case QMetaType::QVariantMap:
            str = serializeMembers(data.toMap(), success, lineBreak);
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
