// SPDX-License-Identifier: MIT
// What both fuzz targets check trees with.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

// Same types all the way down, strings equal including null-ness, doubles bit for bit (QVariant's
// own operator== converts between number types and takes -0.0 for 0.0).
inline bool sameTree(const QVariant& a, const QVariant& b)
{
    if (a.userType() != b.userType())
        return false;
    switch (a.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap am = a.toMap(), bm = b.toMap();
        if (am.keys() != bm.keys())
            return false;
        for (auto i = am.cbegin(), j = bm.cbegin(); i != am.cend(); ++i, ++j) {
            if (i.key().isNull() != j.key().isNull() || !sameTree(i.value(), j.value()))
                return false;
        }
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList al = a.toList(), bl = b.toList();
        if (al.size() != bl.size())
            return false;
        for (int i = 0; i < al.size(); ++i) {
            if (!sameTree(al.at(i), bl.at(i)))
                return false;
        }
        return true;
    }
    case QMetaType::QString:
        return a.toString() == b.toString() && a.toString().isNull() == b.toString().isNull();
    case QMetaType::Double: {
        const double x = a.toDouble(), y = b.toDouble();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    default:
        return a == b;
    }
}

// Stops the run with the input saved by libFuzzer as a crash.
[[noreturn]] inline void fail(const char* what, const QByteArray& detail = QByteArray())
{
    std::fprintf(stderr, "%s\n", what);
    std::fwrite(detail.constData(), 1, size_t(detail.size()), stderr);
    std::abort();
}

} // namespace fuzz
