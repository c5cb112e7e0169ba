#include "CardNumberMask.h"

#include "Limits.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<bool> logMasked {false};

QMutex &numbersMutex()
{
    static QMutex mutex;
    return mutex;
}

// Newest last.
QStringList &numbers()
{
    static QStringList list;
    return list;
}

// Anything shorter would say too little to be worth a mask, or is not a
// card number at all (and would mask digits of dates and amounts).
const int shortestMasked = 7;

} // namespace

QString CardNumberMask::masked(const QString &number)
{
    if (number.size() < shortestMasked)
        return QString(number.size(), QLatin1Char('*'));
    return number.left(2) + QString(number.size() - 6, QLatin1Char('*')) + number.right(4);
}

void CardNumberMask::setLogMasked(bool masked)
{
    logMasked = masked;
}

bool CardNumberMask::isLogMasked()
{
    return logMasked;
}

void CardNumberMask::remember(const QString &number)
{
    if (number.size() < shortestMasked)
        return;
    const QMutexLocker locker(&numbersMutex());
    QStringList &list = numbers();
    list.removeOne(number);
    list.append(number);
    while (list.size() > Limits::rememberedCardNumbers)
        list.removeFirst();
}

QString CardNumberMask::forLog(const QString &text)
{
    if (!logMasked)
        return text;
    QStringList list;
    {
        const QMutexLocker locker(&numbersMutex());
        list = numbers();
    }
    // Longest first: a number that holds another is masked whole.
    std::sort(list.begin(), list.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    QString result = text;
    for (const QString &number : list)
        result.replace(number, masked(number));
    return result;
}
