#ifndef CARDNUMBERMASK_H
#define CARDNUMBERMASK_H

#include <QString>

/*!
    Card numbers as people may read them: the first 2 and last 4 digits,
    stars between ("20*******6789"). The log masks them when the settings
    ask for it (logCardNumbers "masked"): the plug-in's log texts stay what
    they are, and every card number the process has met lately (remember())
    is replaced inside them. Numbers are remembered where they enter the
    plug-in: the request, the till's database, the journal, the calls to
    the server. The status file and the answers the till reads are never
    masked.
*/
class CardNumberMask
{
public:
    // "20*******6789"; a number of 6 characters or fewer is all stars.
    static QString masked(const QString &number);

    // Whether log texts are masked; off unless the settings turn it on.
    static void setLogMasked(bool masked);
    static bool isLogMasked();

    // A number the log may meet; the latest Limits::rememberedCardNumbers
    // are kept.
    static void remember(const QString &number);
    // `text` with every remembered number masked, when the log is masked;
    // otherwise `text` itself.
    static QString forLog(const QString &text);
};

#endif // CARDNUMBERMASK_H
