// SPDX-License-Identifier: MIT
// The codec against QJsonDocument on a file-description document of about 20 MB: 200 000
// "files-ex" entries with "path", "modified-time" and "sha256", 20 000 "files" and 5 000
// "files-remove", written by the codec's own writer as UpgradeDescribe writes it.
//
// What each reader benchmark includes, starting from the UTF-8 bytes of the file:
// - ReadCodec:        QString::fromUtf8 + Json::parse (what a run does, but for its stream decode);
// - ReadCodecDecoded: Json::parse alone, on text decoded once beforehand;
// - ReadQJsonDocument: QJsonDocument::fromJson (which decodes UTF-8 itself) + toVariant.
// The writers start from the same QVariant tree and end with UTF-8 bytes:
// - WriteCodec:        Json::serialize;
// - WriteQJsonDocument: QJsonDocument::fromVariant + toJson(Compact).
#include "json.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QVariant>

#include <benchmark/benchmark.h>

namespace {

QString hexDigest(unsigned seed)
{
    static const char digits[] = "0123456789abcdef";
    QString text(64, Qt::Uninitialized);
    for (int i = 0; i < 64; ++i) {
        seed = seed * 1103515245u + 12345u;
        text[i] = QLatin1Char(digits[(seed >> 16) & 15]);
    }
    return text;
}

QVariantMap description()
{
    QVariantList filesEx, files, removed;
    for (int i = 0; i < 200000; ++i) {
        QVariantMap entry;
        entry.insert(QStringLiteral("path"), QStringLiteral("lib/m%1/f%2.so").arg(i % 97).arg(i));
        entry.insert(QStringLiteral("modified-time"),
            QStringLiteral("2024-%1-%2 14:02:%3")
                .arg(1 + i % 12, 2, 10, QLatin1Char('0'))
                .arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                .arg(i % 60, 2, 10, QLatin1Char('0')));
        entry.insert(QStringLiteral("sha256"), hexDigest(unsigned(i)));
        filesEx.append(entry);
    }
    for (int i = 0; i < 20000; ++i)
        files.append(QStringLiteral("bin/tool%1").arg(i));
    for (int i = 0; i < 5000; ++i)
        removed.append(QStringLiteral("lib/old/f%1.so").arg(i));
    return QVariantMap { { QStringLiteral("files-ex"), filesEx },
        { QStringLiteral("files"), files }, { QStringLiteral("files-remove"), removed } };
}

const QVariantMap& tree()
{
    static const QVariantMap value = description();
    return value;
}

const QByteArray& utf8()
{
    static const QByteArray text = JsonCodec::Json::serialize(tree());
    return text;
}

void setBytes(benchmark::State& state)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * utf8().size());
    state.counters["MB"] = double(utf8().size()) / 1e6;
}

void ReadCodec(benchmark::State& state)
{
    utf8(); // the document is generated once, outside the timed loops
    for (auto _ : state) {
        bool ok = false;
        QVariant value = JsonCodec::Json::parse(QString::fromUtf8(utf8()), ok);
        if (!ok)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(value);
    }
    setBytes(state);
}

void ReadCodecDecoded(benchmark::State& state)
{
    const QString text = QString::fromUtf8(utf8());
    for (auto _ : state) {
        bool ok = false;
        QVariant value = JsonCodec::Json::parse(text, ok);
        if (!ok)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(value);
    }
    setBytes(state);
}

void ReadQJsonDocument(benchmark::State& state)
{
    utf8();
    for (auto _ : state) {
        QJsonParseError error;
        QVariant value = QJsonDocument::fromJson(utf8(), &error).toVariant();
        if (error.error != QJsonParseError::NoError)
            state.SkipWithError("fromJson failed");
        benchmark::DoNotOptimize(value);
    }
    setBytes(state);
}

void WriteCodec(benchmark::State& state)
{
    utf8();
    for (auto _ : state) {
        QByteArray text = JsonCodec::Json::serialize(tree());
        benchmark::DoNotOptimize(text);
    }
    setBytes(state);
}

void WriteQJsonDocument(benchmark::State& state)
{
    utf8();
    for (auto _ : state) {
        QByteArray text = QJsonDocument::fromVariant(tree()).toJson(QJsonDocument::Compact);
        benchmark::DoNotOptimize(text);
    }
    setBytes(state);
}

} // namespace

BENCHMARK(ReadCodec)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ReadCodecDecoded)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ReadQJsonDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteCodec)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteQJsonDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
