// SPDX-License-Identifier: MIT
// The run's two JSON documents, conf.json and the file description: reading one safely and looking
// its settings up with the run's own failure texts.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

// Reads the whole file |fileName| as UTF-8 (a leading byte-order mark is recognised and dropped).
// Only a regular file is read, a link to one included; the open never blocks, so a FIFO fails at
// once. On failure |error| is "open '<file>' failed: <reason>" or "read '<file>' failed: <reason>".
bool readDocument(const QString& fileName, QString& text, QString& error);

// Reads the whole file |fileName| as bytes, with the same rules. A file of more than |limit| bytes
// (no limit when negative) fails with "read '<file>' failed: File too large"; with |noFollow| a
// symbolic link at the last component is refused ("open '<file>' failed: Too many levels of
// symbolic links").
bool readDocumentBytes(
    const QString& fileName, qint64 limit, bool noFollow, QByteArray& data, QString& error);

// The text of document bytes, decoded as readDocument does.
QString decodeDocument(QByteArray data);

// True when |text| holds nothing but white space and zero characters: what a failed transfer
// leaves, never a document.
bool isBlankDocument(const QString& text);

// The settings of one parsed document, looked up by their dotted key path ("upgrade.deploy"). A
// setting is missing when it is absent or null. Failures are worded as the run reports them and
// left in the error text given to the constructor.
class TSettings {
public:
    enum Kind { Object, List, Text, Flag }; // Flag: true or false, nothing else

    TSettings(const QVariant& document, const QString& documentName, QString& error);

    // A setting that must be there: missing gives "no setting '<path>' in '<document>'".
    bool required(const QString& keyPath, Kind kind, QVariant& value);

    // A setting that may be missing (|value| is then invalid and the result true).
    bool optional(const QString& keyPath, Kind kind, QVariant& value);

    // Writes "Warning: no setting '<path>' in '<document>'".
    void warnMissing(const QString& keyPath) const;

private:
    QVariant lookUp(const QString& keyPath) const;
    // Of the wrong kind: "setting '<path>' format error".
    bool hasKind(const QString& keyPath, Kind kind, const QVariant& value);
    QString missingText(const QString& keyPath) const;

    QVariantMap m_root;
    QString m_documentName;
    QString& m_error;
};
