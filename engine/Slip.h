#ifndef SLIP_H
#define SLIP_H

#include <QString>

struct RunState;

/*!
    The slips the receipt printer gets, laid out from a run's state: every
    line padded to the width, labels left, values right, titles centred.

    Invariant: pure layout, the clock's date and time aside; any width lays
    out without overflow (every negative width as -1: no padding, empty
    blank and rule lines), and a value holding "%1" is printed as it is.
*/
class Slip
{
public:
    Slip(const QString &header, int width);

    // The payment slip of a sale, refund or cancel.
    QString payment(const RunState &run) const;
    // The balance slip: nothing of the receipt or the cashier.
    QString balance(const RunState &run) const;

private:
    QString dateTimeEntry() const;
    QString nameBlock(const QString &clientName) const;

    QString header;
    int width;
};

// Centres `text` in a field of `width` characters.
QString centerStr(const QString &text, int width);

// Each space-separated word of `text` on a line of its own, right-justified.
QString rightStrList(const QString &text, int width);

#endif // SLIP_H
