#ifndef RECOVERY_H
#define RECOVERY_H

#include "Logger.h"
#include "OperationJournal.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>

/*!
    What `payment-host recover` does with the journal. Each call answers
    compact JSON, {"settled":[...],"unsettled":[...]}, with "error" when
    something failed, so that recover exits 1 then:
    - recover() reverses every unsettled record at once, whatever its next
      time;
    - forget(id) closes one unsettled record by hand, without a reversal,
      and logs it; then recovers the rest ("forgotten": the record);
    - resetJournal() moves a damaged journal aside ("movedTo": its new
      path); a sound one stays where it is.
    A record that needs attention is logged at error level every time it is
    seen, until someone forgets it or a reversal settles it.
*/
class Recovery
{
public:
    explicit Recovery(OperationJournal &journal);

    QByteArray recover();
    QByteArray forget(qint64 id);
    QByteArray resetJournal();

    static void logAttention(const Logger &logger, const QList<OperationJournal::Record> &records);

private:
    QJsonObject pass();
    static QByteArray compact(const QJsonObject &answer);

    OperationJournal &journal;
    Logger logger;
};

#endif // RECOVERY_H
