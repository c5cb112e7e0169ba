#ifndef CARDMASK_H
#define CARDMASK_H

#include <QString>

/*!
    Card numbers as the server's log shows them: the first 2 and the last 4
    characters, stars between (`20******6789`), so a log that travels to
    support or a ticket does not carry whole numbers. A number of 6
    characters or fewer has nothing between them and shows as it is.
    showFull(true) (`--log-card-numbers full`) shows every number whole, for
    a lab; it is set once at start-up, before any thread logs.
*/
class CardMask
{
public:
    static void showFull(bool full);
    static QString shown(const QString &number);
};

#endif // CARDMASK_H
