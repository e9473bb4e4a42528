// SPDX-License-Identifier: MIT
// The run's two JSON documents, conf.json and the file description: reading one safely and looking
// its settings up with the run's own failure texts.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <QtGlobal>

// The most bytes a document (conf.json, a file description, a journal) may hold: about three
// times a description of 200 000 files with paths of 62 bytes (41 MB), so that no real document
// comes near it, while a broken or hostile one of gigabytes cannot exhaust the device's memory.
constexpr qint64 maxDocumentSize = 128 * 1024 * 1024;

// Reads the whole file |fileName| as UTF-8 (a leading byte-order mark is recognised and dropped).
// Only a regular file is read, a link to one included; the open never blocks, so a FIFO fails at
// once. On failure |error| is "open '<file>' failed: <reason>", "read '<file>' failed: <reason>"
// or, for a file over maxDocumentSize, "'<file>' is too large: <size> bytes, more than the
// <limit> a document may hold".
bool readDocument(const QString& fileName, QString& text, QString& error);

// Reads the whole file |fileName| as bytes, with the same rules. A negative |limit| reads a
// document, bounded by maxDocumentSize as above; a file of more than a given |limit| bytes (a
// signature, a key) fails with "read '<file>' failed: File too large". With |noFollow| a
// symbolic link at the last component is refused ("open '<file>' failed: Too many levels of
// symbolic links").
bool readDocumentBytes(
    const QString& fileName, qint64 limit, bool noFollow, QByteArray& data, QString& error);

// As readDocumentBytes(), but a file that is not there (nothing at its last component, not even a
// link) is no error: |found| tells whether there was one.
bool readDocumentBytesIfThere(const QString& fileName, qint64 limit, bool noFollow, bool& found,
    QByteArray& data, QString& error);

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
