// SPDX-License-Identifier: MIT
#include "Provenance.h"

#include "Description.h"
#include "RunLog.h"
#include "TrustedKeys.h"

#include <QCryptographicHash>
#include <QMetaType>
#include <QVariantMap>

namespace {

QByteArray quoted(const QString& text) { return '\'' + logText(text) + '\''; }

} // namespace

// A verdict line: "Check: " in a dry run, "Info: " otherwise.
void TProvenance::tell(const QByteArray& line) const
{
    logLine((checkOnly ? "Check: " : "Info: ") + line);
}

bool TProvenance::checkSignature(const QString& descPath, const QByteArray& data, QString& error)
{
    m_offered.sha256 = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
    TTrustedKeys keys;
    if (!keys.load(keysDir, error))
        return false;
    m_signatureRequired = !keys.isEmpty();
    if (!m_signatureRequired) {
        logLine("Warning: " + quoted(descPath) + " is not signed");
        return true;
    }
    QString keyId;
    if (!verifyDescription(keys, descPath, data, keyId, error))
        return false;
    tell("signature of " + quoted(descPath) + " verified with key " + keyId.toLatin1());
    return true;
}

// "sequence": a whole number from 1 up. The reader gives 0 for a number it cannot convert, so 0
// is refused with every other malformed value.
bool TProvenance::readSequence(const QVariant& document, const QString& descPath, QString& error)
{
    const QVariant value = document.toMap().value(description::sequence);
    m_hasSequence = value.isValid() && !value.isNull();
    if (!m_hasSequence) {
        if (m_signatureRequired)
            error = QStringLiteral("no setting 'sequence' in '%1'").arg(descPath);
        return !m_signatureRequired;
    }
    if (value.userType() != QMetaType::ULongLong || value.toULongLong() == 0) {
        error = QStringLiteral("setting 'sequence' format error");
        return false;
    }
    m_offered.sequence = value.toULongLong();
    return true;
}

bool TProvenance::checkSequence(
    const QVariant& document, const QString& descPath, const QString& homeDir, QString& error)
{
    if (!readSequence(document, descPath, error))
        return false;
    if (!m_hasSequence)
        return true;
    const TSequenceState state(stateDir, homeDir);
    m_statePath = state.path();
    m_homeDir = homeDir;
    bool found = false;
    TSequenceRecord installed;
    return state.load(found, installed, error) && judge(found, installed, error);
}

bool TProvenance::judge(bool found, const TSequenceRecord& installed, QString& error) const
{
    const QByteArray offered = QByteArray::number(m_offered.sequence);
    const QByteArray stored = QByteArray::number(installed.sequence);
    QByteArray refusal;
    switch (compareSequence(m_offered, found, installed)) {
    case TSequenceCheck::First:
        tell("sequence " + offered + ", none installed");
        return true;
    case TSequenceCheck::Newer:
        tell("sequence " + offered + " is newer than the installed " + stored);
        return true;
    case TSequenceCheck::Resumed:
        tell("sequence " + offered + " is the installed one: the same description, resumed");
        return true;
    case TSequenceCheck::Older:
        refusal = "sequence " + offered + " is older than the installed " + stored;
        break;
    case TSequenceCheck::Replaced:
        refusal = "sequence " + offered + " is installed already from another description";
        break;
    }
    if (!allowDowngrade) {
        error = QString::fromLatin1(refusal);
        return false;
    }
    logLine("Warning: " + refusal + ", allowed by -allow-downgrade");
    return true;
}

bool TProvenance::record(QString& error) const
{
    if (!m_hasSequence)
        return true;
    if (checkOnly) {
        tell("record sequence " + QByteArray::number(m_offered.sequence) + " in "
            + quoted(m_statePath));
        return true;
    }
    return TSequenceState(stateDir, m_homeDir).store(m_offered, error);
}
