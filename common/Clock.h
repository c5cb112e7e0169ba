#ifndef CLOCK_H
#define CLOCK_H

#include <QDateTime>

/*!
    Where the plug-in reads the time of day: slips, transaction identifiers
    and the date sent with a payment. Tests fix it to a known moment.
*/
class Clock
{
public:
    static QDateTime currentDateTime();
    // The same moment as the local date and time of day, read through the C
    // library alone: QDateTime asks its time zone code several times over,
    // and the slip wants only the wall clock.
    static void currentDateAndTime(QDate *date, QTime *time);
    // An invalid date and time goes back to the system clock.
    static void setFixed(const QDateTime &moment);
};

#endif // CLOCK_H
