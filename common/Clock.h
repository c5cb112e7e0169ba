#ifndef CLOCK_H
#define CLOCK_H

#include <QDateTime>

/*!
    Where the plug-in reads the time of day: slips, transaction identifiers,
    the date sent with a payment and the journal's times. Tests fix it to a
    known moment; a fixed clock moves only when waitForNextMillisecond()
    moves it.
*/
class Clock
{
public:
    static QDateTime currentDateTime();
    static QDateTime currentDateTimeUtc();
    // The same moment as the local date and time of day, read through the C
    // library alone: QDateTime asks its time zone code several times over,
    // and the slip wants only the wall clock.
    static void currentDateAndTime(QDate *date, QTime *time);
    // Returns once the clock shows a later millisecond than when it was
    // called; a fixed clock is moved on by one millisecond.
    static void waitForNextMillisecond();
    // An invalid date and time goes back to the system clock.
    static void setFixed(const QDateTime &moment);
};

#endif // CLOCK_H
