#ifndef BONUSCREDITPROCESSING_H
#define BONUSCREDITPROCESSING_H

#include "BasicPaymentProcessing.h"
#include "Logger.h"
#include "TillLock.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class BonusCredit;

/*!
    The object the till loads: pays with a card's bonus credit, refunds or
    cancels such a payment and asks a card's balance. Each request is one
    engine run; the engine reports through the status and print files,
    which are read back into the answer.
*/
class BonusCreditProcessing : public QObject, public BasicPaymentProcessing
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "VeltaPaymentProcessing/1.0" FILE "plugin.json")
    Q_INTERFACES(BasicPaymentProcessing)

public:
    explicit BonusCreditProcessing(QObject *parent = nullptr);
    ~BonusCreditProcessing() override;

    bool isPaymentEnable(EPaymentProcessingRequest::Type type) const override;
    bool isCancelEnable(EPaymentProcessingRequest::Type type) const override;
    bool isCheckTotalsEnable() const override;
    PaymentProcessingAnswer payment(const PaymentProcessingRequest &request) override;
    PaymentProcessingAnswer cancel(const PaymentProcessingRequest &request) override;
    PaymentProcessingAnswer balance(const QString &cardNumber) override;

    PaymentProcessingAnswer execute(int operation, int amount, const QString &cardNumber);
    bool readFile(const QString &path, QByteArray &data);

    /*!
        Rolls back what the journal of money-moving operations still holds
        unsettled; reached by hosts through Qt's meta-object system (the
        till's interface has no such call). Answers compact JSON:
        {"settled":[...],"unsettled":[...]}.
    */
    Q_INVOKABLE QByteArray recover();
    // recover, with one journal record closed by hand first (logged).
    Q_INVOKABLE QByteArray forget(qlonglong id);
    // Moves a damaged journal aside, never a sound one.
    Q_INVOKABLE QByteArray resetJournal();

    /*!
        Looks the till over without moving money: settings, files, journal,
        database, the card (when given) and every server, creating nothing.
        Answers compact JSON: {"ok":bool,"rows":[{"id":...,"name":...,
        "ok":...,"state":...,"reason":...}]} (TillCheck). Card numbers in
        the rows are masked unless `fullCardNumbers`.
    */
    Q_INVOKABLE QByteArray check(const QString &cardNumber, bool fullCardNumbers);
    // The same, masked.
    Q_INVOKABLE QByteArray check(const QString &cardNumber);

private:
    bool lockWorkDir();
    // Removes the status and print files before a run.
    void removeRunFiles();
    static QString busyText();
    static QString crashText();
    // Runs `report` under the till's lock; answers recover's shape with
    // "error" when the lock cannot be had.
    template<typename Report> QByteArray locked(Report report);
    // The one place where "the plug-in never throws" rests: whatever
    // escapes `call` is logged, and the answer is false.
    bool guarded(const std::function<void()> &call);
    // A failure the plug-in reports itself, with the failure code.
    static PaymentProcessingAnswer failure(const QString &message);

    Logger logger;
    BonusCredit *engine;
    TillLock lock;
};

#endif // BONUSCREDITPROCESSING_H
