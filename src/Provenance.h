// SPDX-License-Identifier: MIT
// Who wrote a description and whether it is newer than the installed package: the signature check
// against the trusted keys, the sequence check against the stored state, and the record of the
// sequence once a run has landed. The controller calls it at three points of a run.
#pragma once

#include "SequenceState.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

class TProvenance {
public:
    // Right after the description's bytes are read, before they are parsed. With a trusted key
    // installed the signature must verify ("Info: signature of '<desc>' verified with key <id>");
    // with none, "Warning: '<desc>' is not signed". On false, |error| holds the reason.
    bool checkSignature(const QString& descPath, const QByteArray& data, QString& error);

    // After the description is parsed: its "sequence" against the stored one. The sequence is
    // required when the description had to be signed. On false, |error| holds the reason.
    bool checkSequence(
        const QVariant& document, const QString& descPath, const QString& homeDir, QString& error);

    // Once the run has landed: stores the description's sequence, when it has one.
    bool record(QString& error) const;

    // "-check": verdicts as "Check: " lines, and what record() would store.
    bool checkOnly = false;
    // "-keys=", "-state=" and "-allow-downgrade" (TOptions, where their defaults are).
    QString keysDir;
    QString stateDir;
    bool allowDowngrade = false;

private:
    bool readSequence(const QVariant& document, const QString& descPath, QString& error);
    bool judge(bool found, const TSequenceRecord& installed, QString& error) const;
    void tell(const QByteArray& line) const;

    bool m_signatureRequired = false;
    bool m_hasSequence = false;
    TSequenceRecord m_offered;
    QString m_statePath;
    QString m_homeDir;
};
