// SPDX-License-Identifier: MIT
// libFuzzer target for a write-then-read round trip: whatever the reader makes of the input, the
// writer must write it, the reader must read that text back as the same tree, and writing that
// again must give the same bytes. Strings come back exactly, lone surrogates and control
// characters included (the writer escapes them). What may change is what the value model changes:
// a qlonglong that is not negative (the text "-0") reads back as a qulonglong, and -0.0 as 0.0.
#include "FuzzSupport.h"
#include "json.h"

#include <QString>
#include <QVariant>

#include <cstddef>
#include <cstdint>

using JsonCodec::Json;

namespace {

QVariant asReadBack(const QVariant& value)
{
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QVariantMap result;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            result.insert(it.key(), asReadBack(it.value()));
        return result;
    }
    case QMetaType::QVariantList: {
        QVariantList result;
        for (const QVariant& element : value.toList())
            result.append(asReadBack(element));
        return result;
    }
    case QMetaType::Double: // Qt writes -0.0 as 0
        return value.toDouble() == 0.0 ? QVariant(0.0) : value;
    case QMetaType::LongLong:
        return value.toLongLong() < 0 ? value : QVariant(value.toULongLong());
    default:
        return value;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    bool ok = false;
    const QVariant tree
        = Json::parse(QString::fromUtf8(reinterpret_cast<const char*>(data), int(size)), ok);
    if (!ok)
        return 0;
    const QByteArray text = Json::serialize(tree, ok, "\n");
    if (!ok || text.isNull())
        fuzz::fail("the writer refused a tree the reader made");
    const QVariant back = Json::parse(QString::fromUtf8(text.constData(), text.size()), ok);
    if (!ok || !fuzz::sameTree(back, asReadBack(tree)))
        fuzz::fail("the written text reads back as another tree", text);
    if (Json::serialize(back, ok, "\n") != text)
        fuzz::fail("writing the tree read back gives other bytes", text);
    return 0;
}
