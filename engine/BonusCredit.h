#ifndef BONUSCREDIT_H
#define BONUSCREDIT_H

#include "BonusCreditException.h"
#include "Logger.h"

#include <QIODevice>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantMap>

/*!
    Runs one bonus operation, from the settings to the status and print
    files: 1 sale, 2 refund, 3 cancel, 5 balance. The outcome is reported
    only through the two files (status 0 success, 255 failure); run() never
    throws.
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

    void status(int code, const QString &description, QIODevice::OpenModeFlag mode) const;
    void print(const QString &text, QIODevice::OpenModeFlag mode) const;

    // Preparation steps: each writes status 255 itself and answers false.
    bool generateSettings();
    bool generateParams(int operation, int amount, const QString &cardNumber);
    bool generateDbConnection();
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

    void runOperation();
    QString dateTimeEntry() const;
    QString nameBlock() const;
    // Runs `statement` with its one "?" bound to `value`: the first row as
    // text, or an empty list when there is none. A failing statement is
    // logged and thrown as `failureMessage`.
    QStringList firstRow(const QString &statement, const QString &value,
                         const QString &failureMessage) const;

    bool prepared;
    QString workDir;
    QString settingsPath;
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
};

// Writes `text` as UTF-8, whole or not at all; a file that cannot be opened
// is skipped without a word.
void writeInfo(const QString &path, const QString &text, QIODevice::OpenModeFlag mode);

// Centres `text` in a field of `width` characters.
QString centerStr(const QString &text, int width);

// Each space-separated word of `text` on a line of its own, right-justified.
QString rightStrList(const QString &text, int width);

#endif // BONUSCREDIT_H
