#include "Slip.h"

#include "Clock.h"
#include "RunState.h"

#include <QDate>
#include <QStringList>
#include <QTime>

namespace {

const int receiptNumberDigits = 5;
const int sale = 1;

QString money(double value)
{
    return QString::number(value, 'f', 2);
}

QString blank(int width)
{
    return QString().rightJustified(width, QLatin1Char(' '));
}

QString rule(int width)
{
    return width > 0 ? QString(width, QLatin1Char('_')) : QString();
}

QString joinEntries(const QStringList &entries)
{
    QString slip;
    for (const QString &entry : entries)
        slip += entry + QLatin1Char('\n');
    return slip;
}

} // namespace

QString centerStr(const QString &text, int width)
{
    // QString's justification computes width - length, which overflows for
    // the most negative widths; all negative widths pad alike.
    width = qMax(width, -1);
    const int n = width / 2 + text.size() / 2;
    return text.rightJustified(n, QLatin1Char(' ')).leftJustified(width, QLatin1Char(' '));
}

QString rightStrList(const QString &text, int width)
{
    width = qMax(width, -1);
    QStringList lines;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words)
        lines << word.rightJustified(width, QLatin1Char(' '));
    return lines.join(QLatin1Char('\n'));
}

Slip::Slip(const QString &header, int width)
    : header(header)
    // Every negative width lays out alike; -1 keeps width - 20 and the like
    // from overflowing.
    , width(qMax(width, -1))
{
}

QString Slip::dateTimeEntry() const
{
    // Laid out digit by digit: QDateTime::toString reads its format through
    // the locale on every call.
    QDate date;
    QTime time;
    Clock::currentDateAndTime(&date, &time);
    const auto twoDigits = [](QString &text, int value) {
        text += QLatin1Char(char('0' + value / 10 % 10));
        text += QLatin1Char(char('0' + value % 10));
    };
    QString text = QStringLiteral("ДАТА ");
    text.reserve(32);
    twoDigits(text, date.day());
    text += QLatin1Char('/');
    twoDigits(text, date.month());
    text += QLatin1Char('/');
    twoDigits(text, date.year());
    text += QStringLiteral("   ВРЕМЯ ");
    twoDigits(text, time.hour());
    text += QLatin1Char(':');
    twoDigits(text, time.minute());
    text += QLatin1Char(':');
    twoDigits(text, time.second());
    return text.rightJustified(width, QLatin1Char(' '));
}

QString Slip::nameBlock(const QString &clientName) const
{
    if (clientName.size() > width)
        return rightStrList(clientName, width);
    return clientName.rightJustified(width, QLatin1Char(' '));
}

QString Slip::payment(const RunState &run) const
{
    const int W = width;
    const double limit
        = run.operation == sale ? run.balance - run.amount : run.balance + run.amount;

    // Built entry by entry: a value holding "%5" is printed as it is.
    const QStringList entries = {
        centerStr(header, W),
        blank(W),
        QStringLiteral("    Касса:")
            + run.receipt.cashCode().rightJustified(W - 10, QLatin1Char(' ')),
        QStringLiteral("    Кассир:").leftJustified(W, QLatin1Char(' ')),
        rightStrList(run.cashierName, W),
        blank(W),
        centerStr(QStringLiteral("ЧЕК ")
                      + QString::number(run.receipt.number())
                            .rightJustified(receiptNumberDigits, QLatin1Char('0')),
                  W),
        (run.operation == sale ? QStringLiteral("ОПЛАТА") : QStringLiteral("ОТМЕНА ОПЛАТЫ"))
            .leftJustified(W, QLatin1Char(' ')),
        blank(W),
        QStringLiteral("КЛИЕНТ:").leftJustified(W, QLatin1Char(' ')),
        nameBlock(run.clientName),
        QStringLiteral("КАРТА:").leftJustified(W, QLatin1Char(' ')),
        run.cardId.rightJustified(W, QLatin1Char(' ')),
        QStringLiteral("СУММА:") + money(run.amount).rightJustified(W - 10, QLatin1Char(' '))
            + QStringLiteral(" RUR"),
        blank(W),
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:") + money(limit).rightJustified(W - 20, QLatin1Char(' '))
            + QStringLiteral(" RUR"),
        blank(W),
        dateTimeEntry(),
        blank(W),
        rule(W),
        centerStr(QStringLiteral("ПОДПИСЬ КЛИЕНТА"), W),
        blank(W),
        rule(W),
        blank(W),
    };
    return joinEntries(entries);
}

QString Slip::balance(const RunState &run) const
{
    const int W = width;
    const QStringList entries = {
        centerStr(header, W),
        blank(W),
        QStringLiteral("КЛИЕНТ:").leftJustified(W, QLatin1Char(' ')),
        nameBlock(run.clientName),
        QStringLiteral("КАРТА:").leftJustified(W, QLatin1Char(' ')),
        run.cardId.rightJustified(W, QLatin1Char(' ')),
        QStringLiteral("ДОСТУПНЫЙ ЛИМИТ:")
            + money(run.balance).rightJustified(W - 20, QLatin1Char(' ')) + QStringLiteral(" RUR"),
        blank(W),
        dateTimeEntry(),
        blank(W),
    };
    return joinEntries(entries);
}
