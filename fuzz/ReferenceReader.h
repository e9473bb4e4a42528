// SPDX-License-Identifier: MIT
// The plain reader that the fuzzer compares the real one with.
#pragma once

#include <QString>
#include <QVariant>

QVariant referenceParse(const QString& json, bool& success);
