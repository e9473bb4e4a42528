// SPDX-License-Identifier: MIT
#include "json.h"

#include <QDate>
#include <QStringList>
#include <QVariant>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

using JsonCodec::Json;

// A type that converts to nothing, so the writer has no form for it.
struct Opaque { };
Q_DECLARE_METATYPE(Opaque)

namespace {

QVariant ull(qulonglong v) { return QVariant(v); }
QVariant ll(qlonglong v) { return QVariant(v); }
QVariant str(const char* utf8) { return QVariant(QString::fromUtf8(utf8)); }
QVariant nullString() { return QVariant(QString()); }
QString units(std::initializer_list<ushort> codes)
{
    QString text;
    for (const ushort code : codes)
        text += QChar(code);
    return text;
}

std::string describe(const QVariant& v) { return v.isValid() ? v.typeName() : "invalid"; }

// Strict comparison: QVariant's own operator== converts between number types, which would hide a
// qulonglong read as qlonglong.
testing::AssertionResult sameTree(const QVariant& a, const QVariant& e, const std::string& at = "$")
{
    if (a.userType() != e.userType())
        return testing::AssertionFailure() << at << ": " << describe(a) << " not " << describe(e);
    if (e.userType() == QMetaType::QVariantMap) {
        const QVariantMap am = a.toMap(), em = e.toMap();
        if (am.keys() != em.keys())
            return testing::AssertionFailure() << at << ": keys differ";
        for (auto it = em.cbegin(); it != em.cend(); ++it) {
            auto r = sameTree(am.value(it.key()), it.value(), at + "." + it.key().toStdString());
            if (!r)
                return r;
        }
    } else if (e.userType() == QMetaType::QVariantList) {
        const QVariantList al = a.toList(), el = e.toList();
        if (al.size() != el.size())
            return testing::AssertionFailure() << at << ": " << al.size() << " elements";
        for (int i = 0; i < el.size(); ++i) {
            auto r = sameTree(al.at(i), el.at(i), at + "[" + std::to_string(i) + "]");
            if (!r)
                return r;
        }
    } else if (e.userType() == QMetaType::QString) {
        if (a.toString() != e.toString() || a.toString().isNull() != e.toString().isNull())
            return testing::AssertionFailure() << at << ": '" << a.toString().toStdString() << "'";
    } else if (a != e) {
        return testing::AssertionFailure() << at << ": " << a.toString().toStdString();
    }
    return testing::AssertionSuccess();
}

struct ParseCase {
    const char* name;
    const char* text; // UTF-8
    bool ok;
    QVariant expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.text; }

class ParseTest : public testing::TestWithParam<ParseCase> { };

TEST_P(ParseTest, YieldsExpectedFlagAndTree)
{
    bool ok = !GetParam().ok;
    const QVariant v = Json::parse(QString::fromUtf8(GetParam().text), ok);
    EXPECT_EQ(ok, GetParam().ok);
    EXPECT_TRUE(sameTree(v, GetParam().expected));
}

std::vector<ParseCase> parseCases()
{
    static const std::string longNumber = "[" + std::string(1000, '9') + ".5]";
    const QVariantMap ab { { "a", ull(1) }, { "b", ull(2) } };
    const QVariantList oneTwo { ull(1), ull(2) };
    return {
        { "EmptyTextFails", "", false, QVariant() },
        { "WhitespaceOnlyFails", " \t\r\n", false, QVariant() },
        { "EmptyObjectInWhitespace", " \r\n{ }\t", true, QVariantMap() },
        { "MembersNeedNoComma", "{\"a\":1 \"b\":2}", true, ab },
        { "ExtraObjectCommasIgnored", "{,\"a\":1,\"b\":2,,}", true, ab },
        { "ExtraArrayCommasIgnored", "[,1,,2,]", true, oneTwo },
        { "DuplicateKeyKeepsLast", "{\"a\":9,\"b\":2,\"a\":1}", true, ab },
        { "NumberKinds", "[1, -1, 1.5, 007, 1.5e3, 1e5, -2E3, 1e+21]", true,
            QVariantList { ull(1), ll(-1), 1.5, ull(7), 1500.0, 1e5, -2000.0, 1e21 } },
        { "RejectedNumbersYieldZero", "[1-2 1+2 1.2.3 18446744073709551616- -9223372036854775809-]",
            true, QVariantList { ull(0), ull(0), 0.0, ull(0), ll(0) } },
        { "LoneMinusIsZero", "-", true, ll(0) },
        // Beyond its type's range a number would read as 0 or infinity, a value nobody wrote.
        { "DoubleOverflowFailsArray", "[1.5e999]", false, QVariantList() },
        { "NegativeOverflowFails", "-1E400", false, QVariant() },
        { "UnderflowFailsObject", "{\"a\":1e-999}", false, QVariantMap() },
        { "NegativeUnderflowFails", "[-2e-324]", false, QVariantList() },
        { "UnsignedBeyond64BitsFailsObject", "{\"files-remove\":[18446744073709551616]}", false,
            QVariantMap() },
        { "SignedBeyond64BitsFails", "[-9223372036854775809]", false, QVariantList() },
        { "ThousandDigitsFail", longNumber.c_str(), false, QVariantList() },
        { "ZeroWithHugeExponentIsZero", "0.0e999999", true, 0.0 },
        { "LargestDoubleKept", "[1.7976931348623157e308, -1.7976931348623157e308]", true,
            QVariantList {
                std::numeric_limits<double>::max(), -std::numeric_limits<double>::max() } },
        { "SmallestSubnormalKept", "4.9406564584124654e-324", true,
            std::numeric_limits<double>::denorm_min() },
        { "LargestUnsigned", "18446744073709551615", true, ull(18446744073709551615ULL) },
        { "Literals", "[true false null]", true, QVariantList { true, false, QVariant() } },
        { "TextAfterValueIgnored", "truex", true, true },
        { "LiteralsAreCaseSensitive", "[True]", false, QVariantList() },
        { "LiteralFollowedByLettersFailsInArray", "[truex]", false, QVariantList() },
        { "WrongCloserFailsArray", "[1}", false, QVariantList() },
        { "KeyWithoutColonFailsObject", "{\"a\" 1}", false, QVariantMap() },
        { "UnclosedObjectFails", "{\"a\":1", false, QVariantMap() },
        { "MissingMemberValueFailsOuterArray", "[{\"a\":}]", false, QVariantList() },
        { "DeepFailureDropsWholeTree", "{\"a\":[{\"b\":[1,{\"c\":]}]}],\"d\":1}", false,
            QVariantMap() },
        { "SimpleEscapes", "\"\\\\\\/\\b\\f\\n\\r\\t\\\"\"", true, str("\\/\b\f\n\r\t\"") },
        { "UnicodeEscape", "\"\\u00e9\\u00E9\"", true, str("\xC3\xA9\xC3\xA9") },
        { "SurrogatePairEscape", "\"\\ud83d\\ude00\"", true, str("\xF0\x9F\x98\x80") },
        { "UnknownEscapeDropped", "\"a\\qb\"", true, str("ab") },
        { "NonHexUnicodeEscapeSwallowsQuote", "\"\\uxy\"z\"", true, QVariant(QString(QChar(0))) },
        { "RawControlCharsKept", "\"a\nb\x01\"", true, str("a\nb\x01") },
        { "UnterminatedStringFails", "\"abc", false, QVariant() },
        { "TrailingBackslashFails", "[\"abc\\", false, QVariantList() },
        { "ShortUnicodeEscapeFails", "\"\\u12\"", false, QVariant() },
        { "EmptyStringIsNullString", "\"\"", true, nullString() },
        { "OnlyDroppedEscapesIsNullString", "\"\\q\"", true, nullString() },
        { "KeyOpenerIsNotExamined", "{1\":2}", true, QVariantMap { { QString(), ull(2) } } },
    };
}

INSTANTIATE_TEST_SUITE_P(Json, ParseTest, testing::ValuesIn(parseCases()),
    [](const testing::TestParamInfo<ParseCase>& row) { return std::string(row.param.name); });

// The reader converts the common number and "\u" texts itself and leaves the rest to Qt; either
// way a text must come out as Qt's conversion of it (a rejected double being 0.0), bit for bit.
struct ConversionCase {
    const char* name;
    std::string text;
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.text.substr(0, 32); }

class NumberConversionTest : public testing::TestWithParam<ConversionCase> { };

TEST_P(NumberConversionTest, AgreesWithQtConversion)
{
    const QString text = QString::fromStdString(GetParam().text);
    bool ok = false;
    const QVariant v = Json::parse(text, ok);
    ASSERT_TRUE(ok);
    if (text.contains(QLatin1Char('.')) || text.contains(QLatin1Char('e'))
        || text.contains(QLatin1Char('E'))) {
        bool qtOk = false;
        const double qt = text.toDouble(&qtOk);
        ASSERT_EQ(v.userType(), QMetaType::Double);
        const double expected = qtOk ? qt : 0.0, actual = v.toDouble();
        EXPECT_EQ(std::memcmp(&actual, &expected, sizeof(double)), 0) << actual << " " << expected;
    } else if (text.startsWith(QLatin1Char('-'))) {
        EXPECT_TRUE(sameTree(v, ll(text.toLongLong(nullptr, 10))));
    } else {
        EXPECT_TRUE(sameTree(v, ull(text.toULongLong(nullptr, 10))));
    }
}

std::vector<ConversionCase> numberCases()
{
    const std::string zeros(400, '0');
    return {
        { "PlainFraction", "0.1" },
        { "SmallestNormal", "2.2250738585072014e-308" },
        { "HalfwayRoundsToEven", "9007199254740993.0" },
        { "LongExactTie", "1.00000000000000011102230246251565404236316680908203125" },
        { "LongestQuickRun", "1." + std::string(61, '1') + "9" },
        { "OneBeyondQuickRun", "1." + std::string(62, '1') + "9" },
        { "ExponentWithoutPoint", "1E+5" },
        { "LeadingZerosInDouble", "00.5" },
        { "PaddedExponent", "1.5e+003" },
        { "NegativeZero", "-0.0" },
        { "PointBeforeExponent", "1.e5" },
        { "TrailingPoint", "1." },
        { "MinusPoint", "-.5" },
        { "DoubleExponentSign", "1e+-5" },
        { "MinusAfterDigits", "1.5-2" },
        { "LongDecimalWithinRange", "1" + std::string(300, '0') + ".5" },
        { "ZerosBeforeInteger", zeros + "1" },
        { "ZerosBeforeNegative", "-" + zeros + "1" },
        { "LowestSigned", "-9223372036854775808" },
        { "MinusZeroInteger", "-0" },
        { "DoubleMinus", "--1" },
    };
}

INSTANTIATE_TEST_SUITE_P(Json, NumberConversionTest, testing::ValuesIn(numberCases()),
    [](const testing::TestParamInfo<ConversionCase>& row) { return std::string(row.param.name); });

TEST(JsonParse, UnicodeEscapeAgreesWithQtConversion)
{
    const struct {
        const char *name, *digits;
    } rows[] = { { "lower-case hex", "beef" }, { "upper-case hex", "BEEF" },
        { "hex prefix", "0x1F" }, { "spaces around", " 1F " }, { "plus sign", "+0FF" },
        { "minus sign", "-001" }, { "letters only", "wxyz" },
        { "non-Latin",
            "1\xC3\xA9"
            "12" } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString digits = QString::fromUtf8(row.digits);
        const QChar expected(static_cast<ushort>(digits.toInt(nullptr, 16) & 0xFFFF));
        bool ok = false;
        EXPECT_TRUE(sameTree(Json::parse("\"\\u" + digits + '"', ok), QVariant(QString(expected))));
        EXPECT_TRUE(ok);
    }
}

TEST(JsonParse, NullTextIsNullValueWithoutFailure)
{
    bool ok = false;
    EXPECT_FALSE(Json::parse(QString(), ok).isValid());
    EXPECT_TRUE(ok);
}

// QString::fromUtf8() would strip the mark, so the text is built from code units.
TEST(JsonParse, LeadingByteOrderMarkFails)
{
    bool ok = true;
    EXPECT_FALSE(Json::parse(QChar(0xFEFF) + QStringLiteral("{}"), ok).isValid());
    EXPECT_FALSE(ok);
}

QString nested(const char* open, const char* inner, const char* close, int depth)
{
    return QString::fromLatin1(open).repeated(depth) + QString::fromLatin1(inner)
        + QString::fromLatin1(close).repeated(depth);
}

TEST(JsonParse, NestingBeyondMaxDepthFails)
{
    for (const auto& [open, inner, close, empty] :
        { std::make_tuple("[", "", "]", QVariant(QVariantList())),
            std::make_tuple("{\"k\":", "1", "}", QVariant(QVariantMap())) }) {
        SCOPED_TRACE(open);
        bool ok = false;
        QVariant v = Json::parse(nested(open, inner, close, Json::MaxDepth), ok);
        EXPECT_TRUE(ok);
        int depth = 0;
        for (; v.userType() == empty.userType(); ++depth)
            v = v.userType() == QMetaType::QVariantList ? v.toList().value(0)
                                                        : v.toMap().value("k");
        EXPECT_EQ(depth, Json::MaxDepth);

        EXPECT_TRUE(
            sameTree(Json::parse(nested(open, inner, close, Json::MaxDepth + 1), ok), empty));
        EXPECT_FALSE(ok);
    }
}

struct WriteCase {
    const char* name;
    QVariant value;
    QByteArray expected;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class SerializeTest : public testing::TestWithParam<WriteCase> { };

TEST_P(SerializeTest, WritesExactBytes)
{
    EXPECT_EQ(Json::serialize(GetParam().value), GetParam().expected);
}

std::vector<WriteCase> writeCases()
{
    const QVariantMap ab { { "b", QVariantList { true } }, { "a", 1 } };
    return {
        { "InvalidIsNull", QVariant(), "null" },
        { "ListLayout", QVariantList { ull(1), true, QVariant() }, "[ 1, true, null ]" },
        { "EmptyList", QVariantList(), "[  ]" },
        { "StringList", QStringList { "a", "b" }, "[ \"a\", \"b\" ]" },
        { "NullString", nullString(), "\"\"" },
        { "EmptyByteArray", QByteArray(""), "\"\"" },
        { "ByteArrayAsString", QByteArray("x\"y"), "\"x\\\"y\"" },
        { "EscapesInOrder", str("\"\\/\n\x01\b\f\r\t"), "\"\\\"\\\\/\\n\\u0001\\b\\f\\r\\t\"" },
        { "ControlCharsAsUnicodeEscapes", QString(QChar(0)) + QString::fromUtf8("\x1f\x7f"),
            "\"\\u0000\\u001f\x7f\"" },
        { "LoneSurrogatesEscaped", units({ 0xDE00, 'x', 0xD83D }), "\"\\ude00x\\ud83d\"" },
        { "SurrogatePairAsUtf8", units({ 0xD83D, 0xDE00 }), "\"\xF0\x9F\x98\x80\"" },
        { "KeyEscapedLikeValue", QVariantHash { { QString(QChar(0xD800)) + '\x02', 1 } },
            "{ \"\\ud800\\u0002\" : 1 }" },
        { "NonAsciiAsUtf8", str("\xC3\xA9"), "\"\xC3\xA9\"" },
        { "PercentCopied", str("%1 50%"), "\"%1 50%\"" },
        { "Int", 5, "5" },
        { "UInt", 4294967295U, "4294967295" },
        { "LongLong", ll(-7), "-7" },
        { "LargestULongLong", ull(std::numeric_limits<qulonglong>::max()), "18446744073709551615" },
        { "Long", QVariant::fromValue(-3L), "-3" },
        { "WholeDoubleGetsPoint", 3.0, "3.0" },
        { "NegativeFraction", -0.5, "-0.5" },
        { "TwentyDigits", 0.1, "0.10000000000000000555" },
        { "LargeWholeDoubleGetsPoint", 1e19, "10000000000000000000.0" },
        { "ExponentGetsNoPoint", 1e21, "1e+21" },
        { "FloatKeepsItsFraction", 1.5f, "1.5" },
        { "LargestDouble", std::numeric_limits<double>::max(), "1.7976931348623157081e+308" },
        { "False", false, "false" },
        { "OtherTypesAsText", QDate(2024, 1, 2), "\"2024-01-02\"" },
        { "MapLayoutSortedKeys", ab, "{ \r\n\"a\" : 1, \r\n\"b\" : [ true ] }\r\n" },
        { "EmptyMap", QVariantMap(), "{ \r\n }\r\n" },
        { "MapInList", QVariantList { QVariantMap { { "x", 1 } }, 2 },
            "[ { \r\n\"x\" : 1 }\r\n, 2 ]" },
        { "HashHasNoLineBreaks", QVariantHash { { "k\"", 1 } }, "{ \"k\\\"\" : 1 }" },
        { "EmptyHash", QVariantHash(), "{  }" },
    };
}

INSTANTIATE_TEST_SUITE_P(Json, SerializeTest, testing::ValuesIn(writeCases()),
    [](const testing::TestParamInfo<WriteCase>& row) { return std::string(row.param.name); });

// Whatever a string holds, what the writer writes reads back as that string: no code unit is lost
// or replaced, so two keys never become one.
TEST(JsonSerialize, EveryCodeUnitReadsBackAsItself)
{
    for (int unit = 1; unit <= 0xFFFF; ++unit) {
        const QString text = QStringLiteral("a") + QChar(ushort(unit)) + QChar(0xDC00);
        const QVariantMap doc { { text, QVariant(text) }, { text.left(2), ull(1) } };
        bool ok = false;
        const QByteArray written = Json::serialize(doc, ok, "\n");
        ASSERT_TRUE(ok);
        const QVariant back = Json::parse(QString::fromUtf8(written), ok);
        ASSERT_TRUE(ok) << unit;
        ASSERT_TRUE(sameTree(back, doc)) << unit;
    }
}

TEST(JsonSerialize, NestedMapKeepsCrLfWhateverTheLineBreak)
{
    const QVariantMap doc { { "o", QVariantMap { { "i", 1 } } }, { "z", 2 } };
    bool ok = false;
    EXPECT_EQ(Json::serialize(doc, ok, ""), "{ \"o\" : { \r\n\"i\" : 1 }\r\n, \"z\" : 2 }");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Json::serialize(doc, ok, "\n"), "{ \n\"o\" : { \r\n\"i\" : 1 }\r\n, \n\"z\" : 2 }\n");
}

TEST(JsonSerialize, UnwritableValueAtAnyDepthGivesNullAndClearsFlag)
{
    const QVariant bad = QVariant::fromValue(Opaque());
    const QVariant deep = QVariantMap { { "a", 1 },
        { "b", QVariantList { 2, QVariantHash { { "h", QVariantMap { { "m", bad } } } } } } };
    const double inf = std::numeric_limits<double>::infinity();
    const QVariant deepInfinity = QVariantMap { { "a", QVariantList { 1.0, -inf } } };
    for (const QVariant& v : { bad, QVariant(QVariantList { 1, bad }), deep, QVariant(inf),
             QVariant(std::numeric_limits<double>::quiet_NaN()), deepInfinity,
             QVariant(std::numeric_limits<float>::infinity()) }) {
        SCOPED_TRACE(describe(v));
        bool ok = true;
        EXPECT_TRUE(Json::serialize(v, ok, "\r\n").isNull());
        EXPECT_FALSE(ok);
        EXPECT_TRUE(Json::serialize(v).isNull());
    }
}

} // namespace
