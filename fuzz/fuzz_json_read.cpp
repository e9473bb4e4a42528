// SPDX-License-Identifier: MIT
// libFuzzer target for the reader: any input, read as UTF-8 as the program reads its documents and
// as raw UTF-16 code units (lone surrogates and all), must give exactly the tree and the flag of
// the plain reference reader, and a failure must give nothing but the empty result of its kind.
#include "FuzzSupport.h"
#include "ReferenceReader.h"
#include "json.h"

#include <QString>
#include <QVariant>

#include <cstddef>
#include <cstdint>

namespace {

void check(const QString& text)
{
    bool ok = false, expectedOk = false;
    const QVariant value = JsonCodec::Json::parse(text, ok);
    const QVariant expected = referenceParse(text, expectedOk);
    if (ok != expectedOk || !fuzz::sameTree(value, expected))
        fuzz::fail(
            "the reader differs from the reference reader", JsonCodec::Json::serialize(value));
    if (ok)
        return;
    const int type = value.userType();
    const bool empty = !value.isValid()
        || (type == QMetaType::QVariantMap && value.toMap().isEmpty())
        || (type == QMetaType::QVariantList && value.toList().isEmpty());
    if (!empty)
        fuzz::fail("a failed read returned a partial tree");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    check(QString::fromUtf8(bytes, int(size)));
    check(QString(reinterpret_cast<const QChar*>(data), int(size / sizeof(QChar))));
    return 0;
}
