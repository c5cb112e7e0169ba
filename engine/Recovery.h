#ifndef RECOVERY_H
#define RECOVERY_H

#include "BonusSettings.h"
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

    Before each operation, open() and settleDue() do the same work in
    small: the journal is opened (and pruned once per process), and the
    reversals whose time has come are sent within one connect limit.
*/
class Recovery
{
public:
    explicit Recovery(OperationJournal &journal);

    QByteArray recover();
    QByteArray forget(qint64 id);
    QByteArray resetJournal();

    // Opens the journal for a run; false, logged, when it cannot be.
    bool open();
    // Sends the reversals that are due, never waiting past the connect
    // limit of `settings`; what fails stays queued and is logged.
    void settleDue(const BonusSettings &settings);

    static void logAttention(const Logger &logger, const QList<OperationJournal::Record> &records);

private:
    QJsonObject pass();
    static QByteArray compact(const QJsonObject &answer);

    OperationJournal &journal;
    Logger logger;
    bool pruned = false;
};

#endif // RECOVERY_H
