#include "Clock.h"

#include <ctime>

namespace {
QDateTime &fixedMoment()
{
    static QDateTime moment;
    return moment;
}
} // namespace

QDateTime Clock::currentDateTime()
{
    const QDateTime &fixed = fixedMoment();
    return fixed.isValid() ? fixed : QDateTime::currentDateTime();
}

QDateTime Clock::currentDateTimeUtc()
{
    const QDateTime &fixed = fixedMoment();
    return fixed.isValid() ? fixed.toUTC() : QDateTime::currentDateTimeUtc();
}

void Clock::waitForNextMillisecond()
{
    QDateTime &fixed = fixedMoment();
    if (fixed.isValid()) {
        fixed = fixed.addMSecs(1);
        return;
    }
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    // Any change will do: the caller checks the new time again anyway.
    while (QDateTime::currentMSecsSinceEpoch() == start) {
        const timespec pause {0, 100000};
        nanosleep(&pause, nullptr);
    }
}

void Clock::currentDateAndTime(QDate *date, QTime *time)
{
    const QDateTime &fixed = fixedMoment();
    if (fixed.isValid()) {
        *date = fixed.date();
        *time = fixed.time();
        return;
    }
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    // tzset() first, as QDateTime does: a change of the system's zone shows.
    tzset();
    std::tm local {};
    localtime_r(&now.tv_sec, &local);
    *date = QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    // A leap second reads as the second before it.
    *time = QTime(local.tm_hour, local.tm_min, qMin(local.tm_sec, 59), int(now.tv_nsec / 1000000));
}

void Clock::setFixed(const QDateTime &moment)
{
    fixedMoment() = moment;
}
