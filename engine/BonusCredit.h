#ifndef BONUSCREDIT_H
#define BONUSCREDIT_H

#include "BonusCreditException.h"
#include "BonusSettings.h"
#include "EarlyLookup.h"
#include "Logger.h"

#include <QIODevice>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class OperationJournal;

/*!
    Runs one bonus operation, from the settings to the status and print
    files: 1 sale, 2 refund, 3 cancel, 5 balance. The outcome is reported
    only through the two files (status 0 success, 255 failure); run() never
    throws.

    Everything local that can fail (the work directory, the two files, the
    settings, the journal) is settled before money moves; once the server has
    committed, the answer is success whatever happens to the files. What the
    run wrote is also kept in memory (writtenStatus(), writtenPrint()), so the
    reader of the files can tell this run's answer from a stale file.
*/
class BonusCredit : public QObject
{
    Q_OBJECT

public:
    enum Operation { Sale = 1, Refund = 2, Cancel = 3, Balance = 5 };
    enum Status { Empty = -1, Success = 0, Failure = 255 };

    explicit BonusCredit(QObject *parent = nullptr);
    ~BonusCredit() override;

    void run(int operation, int amount, const QString &cardNumber);
    // Sends the card's lookup ahead of run(), which takes its answer; see
    // EarlyLookup. dropLookAhead() is for a run that will not come.
    void lookAhead(const QString &cardNumber);
    void dropLookAhead();

    // Each answers whether the file was written.
    bool status(int code, const QString &description, QIODevice::OpenModeFlag mode) const;
    bool print(const QString &text, QIODevice::OpenModeFlag mode) const;

    // The files of the last run and what it meant them to hold: its last
    // status text, and its slip unless the run removed the print file.
    QString statusPath() const { return statusFile; }
    QString printPath() const { return printFile; }
    QByteArray writtenStatus() const { return lastStatus; }
    bool hasPrint() const { return printLeft; }
    QByteArray writtenPrint() const { return lastPrint; }
    // The fields of that status text, as reading it back gives them; false
    // when the run's last status was not one (an emptied file).
    bool writtenStatusFields(int &code, QString &description, QString &cardNumber) const;

    /*!
        Rolls back the journal's unsettled transactions, as far as the server
        can be reached. Answers {"settled":[...],"unsettled":[...]} as
        compact JSON, and "error" when the journal or the settings failed.
        forget() closes one record by hand first, resetJournal() moves a
        damaged journal aside instead (see Recovery).
    */
    QByteArray recover();
    QByteArray forget(qint64 id);
    QByteArray resetJournal();

    // Looks the till over without moving money (TillCheck).
    QByteArray check(const QString &cardNumber);

    // Preparation steps: each writes status 255 itself and answers false.
    bool generateSettings();
    bool generateParams(int operation, int amount, const QString &cardNumber);
    bool generateDbConnection();
    // Opens the till's database as the plug-in's own connection; the
    // driver's reason is in dbConnection.lastError().
    bool openDatabase();
    bool generateCheckImg();

    // Operation steps: each throws BonusCreditException.
    void findCard();
    void checkLimit() const;
    QString getChashier() const;

    int getCheckNumber() const;
    QString getCashCode() const;

    QString getSlip() const;
    QString getBalanceSlip() const;

    // Name of the plug-in's own database connection; the host's default
    // connection is never touched.
    static QString connectionName();

private:
    friend class EngineTestAccess;
    friend class TillCheck;

    void runOperation();
    bool generateJournal();
    void settleJournal();
    // Writes a status that is not the outcome of the operation itself (the
    // status file or the print file could not be written).
    void refuse(const QString &text, const QString &path);
    // The operation failed: status 255 with the cashier's text, no slip.
    void fail(const QString &text);
    // The database cannot be reached: status 255, the emptied slip stays.
    void databaseFailed();
    int layoutWidth() const;
    QString dateTimeEntry() const;
    QString nameBlock() const;
    // Runs `statement` with its one "?" bound to `value`: the `columns`
    // values of the first row as text, or an empty list when there is none.
    // A failing statement is logged and thrown as `failureMessage`.
    QStringList firstRow(const QString &statement, int columns, const QString &value,
                         const QString &failureMessage) const;
    // `statement` with its "?" replaced by `value`, escaped by the driver.
    QString lookupText(const QString &statement, const QString &value) const;

    bool prepared;
    QString workDir;
    QString settingsPath;
    // As this run read them; the bonus client is configured from the same.
    BonusSettings runSettings;
    QString statusFile;
    QString printFile;
    int operationType;
    double amount;
    QString cardId;
    QString cardNumber;
    int widthPrint;
    QString regexPattern;
    QString regexRule;
    QString header;
    double balance;
    QString clientName;
    QSqlDatabase dbConnection;
    QVariantMap checkImg;
    Logger logger;
    // Looked up before anything is sent to the server, printed on the slip.
    QString cashierName;
    std::unique_ptr<OperationJournal> journal;
    bool journalPruned = false;
    // What this run wrote, whether or not the files took it.
    mutable QByteArray lastStatus;
    mutable int lastCode = Empty;
    mutable QString lastDescription;
    mutable QString lastCardNumber;
    mutable QByteArray lastPrint;
    mutable bool printLeft = false;
    // The card's lookup, sent as the run starts (see EarlyLookup).
    mutable EarlyLookup earlyCard;

    // The status and print files stay open from their emptying to the end
    // of the run, so the answer is written without opening them again.
    struct RunFile
    {
        QString path;
        int fd = -1;
    };
    mutable RunFile statusOut;
    mutable RunFile printOut;
    bool writeRunFile(RunFile &file, const QString &path, const QByteArray &bytes) const;
    static void closeRunFile(RunFile &file);
    void closeRunFiles() const;
};

// Writes `text` as UTF-8, whole or not at all; a file that cannot be opened
// is skipped without a word. Answers whether the file now holds the text.
bool writeInfo(const QString &path, const QString &text, QIODevice::OpenModeFlag mode);
bool writeBytes(const QString &path, const QByteArray &bytes);
// Opens `path` for writing in place, made when missing: a descriptor or -1.
int openForWriting(const QString &path);
// The same through a descriptor open for writing; it stays open.
bool writeBytesTo(int fd, const QByteArray &bytes);

// Centres `text` in a field of `width` characters.
QString centerStr(const QString &text, int width);

// Each space-separated word of `text` on a line of its own, right-justified.
QString rightStrList(const QString &text, int width);

#endif // BONUSCREDIT_H
