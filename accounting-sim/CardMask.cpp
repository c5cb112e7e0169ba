#include "CardMask.h"

namespace {

bool fullNumbers = false;

constexpr int keptFirst = 2;
constexpr int keptLast = 4;

} // namespace

void CardMask::showFull(bool full)
{
    fullNumbers = full;
}

QString CardMask::shown(const QString &number)
{
    if (fullNumbers || number.size() <= keptFirst + keptLast)
        return number;
    return number.left(keptFirst) + QString(number.size() - keptFirst - keptLast, QLatin1Char('*'))
        + number.right(keptLast);
}
