#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>

/*!
    Whole lines to stdout and stderr, UTF-8, written at once. Calls come from
    every worker thread; one write() per line keeps lines from mixing.

    out() and err() are the server's log: each line starts with the time it
    was written (UTC, milliseconds, ISO 8601) and one space, so a reader that
    wants the rest drops the first word. plainOut() and plainErr() are for
    what is not a log: help, history, command-line refusals.
*/
class Console
{
public:
    static void out(const QString &line);
    static void err(const QString &line);
    static void plainOut(const QString &text);
    static void plainErr(const QString &line);
};

#endif // CONSOLE_H
