// SPDX-License-Identifier: MIT
#include "SequenceState.h"

#include "Checksum.h"
#include "Document.h"
#include "DocumentOutput.h"
#include "FileDescriptor.h"
#include "HomePath.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

const qint64 recordLimit = 256;

// The home directory's path as one file name: "/" becomes "-", letters, digits, "_" and "." stay,
// every other byte becomes "%XX". Distinct paths give distinct names, and a name always starts
// with "-", so it is never "." or "..".
QString fileNameOf(const QString& home)
{
    QByteArray name;
    for (const char c : QFile::encodeName(home)) {
        const uchar u = static_cast<uchar>(c);
        if (c == '/')
            name += '-';
        else if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
            || c == '_' || c == '.')
            name += c;
        else
            name += '%' + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
    }
    return QString::fromLatin1(name) + QLatin1String(".state");
}

QString realHome(const QString& homeDir)
{
    const QString real = QFileInfo(homeDir).canonicalFilePath();
    return real.isEmpty() ? THomePath(homeDir, QString()).home() : real;
}

// Plain decimal digits without a leading zero, within 64 bits.
bool parseNumber(const QByteArray& text, quint64& value)
{
    bool ok = false;
    value = text.toULongLong(&ok, 10);
    return ok && !text.isEmpty() && QByteArray::number(value) == text;
}

bool parseRecord(const QByteArray& data, TSequenceRecord& record)
{
    if (!data.endsWith('\n'))
        return false;
    const QList<QByteArray> lines = data.left(data.size() - 1).split('\n');
    if (lines.size() != 2 || !lines.at(0).startsWith("sequence ")
        || !lines.at(1).startsWith("sha256 "))
        return false;
    record.sha256 = lines.at(1).mid(7);
    return parseNumber(lines.at(0).mid(9), record.sequence) && record.sequence > 0
        && isSha256Text(QString::fromLatin1(record.sha256))
        && record.sha256.toLower() == record.sha256;
}

} // namespace

TSequenceCheck compareSequence(
    const TSequenceRecord& offered, bool installedKnown, const TSequenceRecord& installed)
{
    if (!installedKnown)
        return TSequenceCheck::First;
    if (offered.sequence > installed.sequence)
        return TSequenceCheck::Newer;
    if (offered.sequence < installed.sequence)
        return TSequenceCheck::Older;
    return offered.sha256 == installed.sha256 ? TSequenceCheck::Resumed : TSequenceCheck::Replaced;
}

TSequenceState::TSequenceState(const QString& stateDir, const QString& homeDir)
    : m_stateDir(stateDir)
    , m_path(stateDir + QLatin1Char('/') + fileNameOf(realHome(homeDir)))
{
}

bool TSequenceState::load(bool& found, TSequenceRecord& record, QString& error) const
{
    found = false;
    bool there = false;
    QByteArray data;
    if (!readDocumentBytesIfThere(m_path, recordLimit, true, there, data, error))
        return false;
    if (!there)
        return true;
    if (!parseRecord(data, record)) {
        error = QStringLiteral("state file '%1' is damaged").arg(m_path);
        return false;
    }
    found = true;
    return true;
}

bool TSequenceState::store(const TSequenceRecord& record, QString& error) const
{
    const QByteArray directory = QFile::encodeName(m_stateDir);
    if (::mkdir(directory.constData(), 0755) != 0 && errno != EEXIST) {
        error = QStringLiteral("make state directory '%1' failed: %2")
                    .arg(m_stateDir, errnoText(errno));
        return false;
    }
    const QByteArray text
        = "sequence " + QByteArray::number(record.sequence) + "\nsha256 " + record.sha256 + '\n';
    QString why;
    if (!saveDocument(m_path, text, why)) {
        error = QStringLiteral("write state file '%1' failed: %2").arg(m_path, why);
        return false;
    }
    return true;
}
