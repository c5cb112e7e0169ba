#ifndef TILLCHECK_H
#define TILLCHECK_H

#include <QByteArray>
#include <QJsonArray>
#include <QString>

class BonusSettings;
class OperationJournal;
class TillDatabase;

/*!
    Looks a till over without moving money: the settings, the files the
    plug-in writes, the journal and the reversals it holds (those still
    being asked, and those a person must look at), the log, the database and
    its tables, optionally a card with its client and cashier, and every
    configured server (a balance call, the one call that moves nothing).
    Each is a row, ok or not, with the reason. A warning row marks what
    works but leaves the till open to harm (a server not proven by name):
    it shows, but does not fail the check.
*/
class TillCheck
{
public:
    TillCheck(TillDatabase &database, OperationJournal &journal);

    // {"ok":bool,"rows":[{"name":str,"ok":bool,"state":"ok"|"warn"|"fail",
    // "reason":str}, ...]}, compact; "ok" is false for a "fail" row only.
    QByteArray run(const QString &cardNumber);

private:
    enum class Verdict { Ok, Warn, Fail };

    void row(const QString &name, bool ok, const QString &reason);
    void row(const QString &name, Verdict verdict, const QString &reason);
    void checkWritable(const QString &name, const QString &path);
    void checkDatabase(const BonusSettings &settings, const QString &cardNumber);
    void checkServers(const BonusSettings &settings, const QString &cardNumber);

    TillDatabase &database;
    OperationJournal &journal;
    QJsonArray rows;
    bool allOk = true;
};

#endif // TILLCHECK_H
