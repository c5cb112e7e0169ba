#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>

/*!
    Whole lines to stdout and stderr, UTF-8, flushed at once. Calls come from
    every connection thread; one write per line keeps lines from mixing.
*/
class Console
{
public:
    static void out(const QString &line);
    static void err(const QString &line);
};

#endif // CONSOLE_H
