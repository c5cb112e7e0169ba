#ifndef TILLCHECK_H
#define TILLCHECK_H

#include <QByteArray>
#include <QJsonArray>
#include <QString>

class BonusSettings;
class OperationJournal;
class TillDatabase;

/*!
    Looks a till over without moving money and without making anything:
    the root, the settings, the server's TLS name, the work directory and
    the files the plug-in writes, the journal and the reversals it holds
    (those still being asked, and those a person must look at), the log,
    the database and its tables, optionally a card with its client and
    cashier, and every configured server. A file or directory that is not
    there is reported, never made; whether one can be written is proven
    with a temporary file beside it, removed at once.

    Each row has a stable id ("root", "settings", "tls", "workDir",
    "statusFile", "printFile", "journal", "unsettled", "attention", "log",
    "database", "tables", "card", "client", "cashier", "servers",
    "server:0", "server:1", ...), a name for people, a verdict and the
    reason, all in English; texts that come from elsewhere (the settings
    reader's problems, the server's answers, the database driver) are
    quoted as they came. Paths and addresses are in the reasons only.

    A warning row marks what works but leaves the till open to harm or is
    not there yet for a good reason (a server not proven by name, a journal
    the first payment will make): it shows, but does not fail the check.

    A server row is ok only when the server answered the balance call and
    did not refuse the terminal. With a card, its balance must come back.
    Without one, the till asks about a card no server issues
    (ServerProbe::absentCard()) and only the "no such card" refusal
    (ServerProbe::isCardNotFound()) counts as served; any other refusal,
    the terminal's among them, fails the row.
*/
class TillCheck
{
public:
    TillCheck(TillDatabase &database, OperationJournal &journal);

    // {"ok":bool,"rows":[{"id":str,"name":str,"ok":bool,
    // "state":"ok"|"warn"|"fail","reason":str}, ...]}, compact; "ok" is
    // false for a "fail" row only. Card numbers are masked
    // (CardNumberMask) unless `fullCardNumbers`.
    QByteArray run(const QString &cardNumber, bool fullCardNumbers = false);

private:
    enum class Verdict { Ok, Warn, Fail };

    void row(const QString &id, const QString &name, bool ok, const QString &reason);
    void row(const QString &id, const QString &name, Verdict verdict, const QString &reason);
    QString card(const QString &number) const;
    void checkSettings(const BonusSettings &settings, const QString &path);
    void checkFile(const QString &id, const QString &name, const QString &path);
    void checkJournal();
    void checkLog();
    void checkDatabase(const BonusSettings &settings, const QString &cardNumber);
    void checkServers(const BonusSettings &settings, const QString &cardNumber);

    TillDatabase &database;
    OperationJournal &journal;
    QJsonArray rows;
    bool allOk = true;
    bool fullCardNumbers = false;
};

#endif // TILLCHECK_H
