#ifndef BONUSCREDIT_H
#define BONUSCREDIT_H

#include "BonusCreditException.h"
#include "EffectiveSettings.h"
#include "Logger.h"
#include "Recovery.h"
#include "RunFiles.h"
#include "RunState.h"
#include "Slip.h"
#include "TillDatabase.h"

#include <QIODevice>
#include <QObject>
#include <QString>

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

    The state of one run is a RunState, made anew each run. What carries
    over from one run to the next: the database connection (TillDatabase),
    the journal (OperationJournal, Recovery), and the last good settings
    (EffectiveSettings).
*/
class BonusCredit : public QObject
{
    Q_OBJECT

public:
    enum Operation { Sale = 1, Refund = 2, Cancel = 3, Balance = 5 };
    enum Status {
        Empty = RunFiles::Empty,
        Success = RunFiles::Success,
        Failure = RunFiles::Failure
    };

    explicit BonusCredit(QObject *parent = nullptr);
    ~BonusCredit() override;

    void run(int operation, int amount, const QString &cardNumber);

    // Each answers whether the file was written.
    bool status(int code, const QString &description, QIODevice::OpenModeFlag mode);
    bool print(const QString &text, QIODevice::OpenModeFlag mode);

    // The files of the last run and what it meant them to hold: its last
    // status text, and its slip unless the run removed the print file.
    QString statusPath() const { return files.statusPath(); }
    QString printPath() const { return files.printPath(); }
    QByteArray writtenStatus() const { return files.writtenStatus(); }
    bool hasPrint() const { return files.hasPrint(); }
    QByteArray writtenPrint() const { return files.writtenPrint(); }
    // The fields of that status text, as reading it back gives them; false
    // when the run's last status was not one (an emptied file).
    bool writtenStatusFields(int &code, QString &description, QString &cardNumber) const
    {
        return files.writtenStatusFields(code, description, cardNumber);
    }

    // See Recovery.
    QByteArray recover();
    QByteArray forget(qint64 id);
    QByteArray resetJournal();

    // Looks the till over without moving money (TillCheck).
    QByteArray check(const QString &cardNumber, bool fullCardNumbers);

    // Preparation steps: each writes status 255 itself and answers false.
    bool generateSettings();
    bool generateParams(int operation, int amount, const QString &cardNumber);
    bool generateDbConnection();
    // Reads the receipt image (ReceiptImage).
    bool generateCheckImg();

    // Operation steps: each throws BonusCreditException of its kind.
    void findCard();
    void checkLimit() const;
    static void checkLimit(double amount, double balance);
    // The cashier of the receipt image. The name, typo and all, is the one
    // the till's integration documents use.
    QString getChashier();

    int getCheckNumber() const { return current.receipt.number(); }
    QString getCashCode() const { return current.receipt.cashCode(); }

    QString getSlip() const;
    QString getBalanceSlip() const;

    const EffectiveSettings &settings() const { return effective; }
    const RunState &runState() const { return current; }

    static QString connectionName() { return TillDatabase::connectionName(); }

private:
    using Kind = BonusCreditException::Kind;

    void runOperation();
    // Every failure of a run: the cashier's text from the kind as status
    // 255, logged, and the slip gone unless the kind keeps the emptied one.
    // Answers false, for the preparation steps.
    bool fail(Kind kind, const QString &detail = QString());

    Logger logger;
    EffectiveSettings effective;
    TillDatabase database;
    std::unique_ptr<OperationJournal> journal;
    Recovery recovery;
    RunFiles files;
    RunState current;
};

#endif // BONUSCREDIT_H
