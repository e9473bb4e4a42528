// SPDX-License-Identifier: MIT
#include "FileTime.h"

#include "Description.h"
#include "FileDescriptor.h"

#include <QDate>
#include <QHash>
#include <QTime>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

struct TTimeRange {
    bool known = false;
    qint64 earliest = 0;
    qint64 latest = 0;
};

// The second a file holds after |seconds| was applied to it; false when it cannot be applied.
bool storedSecond(int fd, qint64 seconds, qint64& stored)
{
    const timespec times[2] = { { 0, UTIME_OMIT }, { static_cast<time_t>(seconds), 0 } };
    struct stat st { };
    if (::futimens(fd, times) != 0 || ::fstat(fd, &st) != 0)
        return false;
    stored = st.st_mtim.tv_sec;
    return true;
}

TTimeRange probeRange(int dirFd)
{
    TTimeRange range;
    const TFileDescriptor probe(::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    // Year 1 and year 9999: the ends of what a description can hold.
    range.known = probe.isOpen() && storedSecond(probe.get(), -62135596800LL, range.earliest)
        && storedSecond(probe.get(), 253402300799LL, range.latest);
    return range;
}

} // namespace

QDateTime describedTime(const QString& text, bool& inGap)
{
    inGap = false;
    const QDateTime parsed = QDateTime::fromString(text, description::timeFormat);
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("hh:mm:ss"));
    if (parsed.isValid() && parsed.date() == date && parsed.time() == time)
        return parsed;
    // A date and a time that are each fine but do not make a local time together: Qt 5 gives an
    // invalid date-time there, Qt 6 one moved past the gap, which is not what was described.
    inGap
        = date.isValid() && time.isValid() && text.size() == 19 && text.at(10) == QLatin1Char(' ');
    return QDateTime();
}

QDateTime storedTime(int dirFd, dev_t device, const QDateTime& wanted)
{
    static QHash<quint64, TTimeRange> ranges;
    auto found = ranges.find(quint64(device));
    if (found == ranges.end())
        found = ranges.insert(quint64(device), probeRange(dirFd));
    const qint64 seconds = wanted.toSecsSinceEpoch();
    if (!found->known || (seconds >= found->earliest && seconds <= found->latest))
        return wanted;
    return QDateTime::fromSecsSinceEpoch(
        seconds < found->earliest ? found->earliest : found->latest);
}
