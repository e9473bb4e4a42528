// SPDX-License-Identifier: MIT
// The described modification times: read as local time, and as a file system will hold them.
#pragma once

#include <QDateTime>
#include <QString>

#include <sys/types.h>

// The text of a "modified-time" ("yyyy-MM-dd hh:mm:ss", local time) as a point in time. Invalid
// when the text is no such time, or when it names a local time that does not exist, in the hour
// a change to daylight-saving time skips: |inGap| tells the latter, which a run warns about.
QDateTime describedTime(const QString& text, bool& inGap);

// What a file in the directory |dirFd| (on |device|) really gets when |wanted| is applied: a file
// system keeps times within a range of its own (ext4 from 1901 to 2446, FAT from 1980 to 2107) and
// silently brings one outside it to the nearest end. The range is found once per file system, on a
// file without a name (O_TMPFILE) that vanishes at once; where no such file can be made, |wanted|
// itself.
QDateTime storedTime(int dirFd, dev_t device, const QDateTime& wanted);
