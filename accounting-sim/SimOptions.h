#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include <QString>
#include <QStringList>
#include <QVector>

/*!
    The server's command line:

        accounting-sim --listen HOST:PORT --db FILE
                       [--card NUMBER=KOPECKS[:INACTIVE] ...] [--terminal ID ...]

    parse() throws UsageError with a one-line reason for anything it cannot use.
*/
class SimOptions
{
public:
    struct CardSeed
    {
        QString number;
        qint64 balance = 0;
        qint64 balanceInactive = 0;
    };

    static SimOptions parse(const QStringList &arguments);
    static QString usage();

    bool helpRequested = false;
    QString listenHost;
    quint16 listenPort = 0;
    QString dbPath;
    QVector<CardSeed> cards;
    // Empty: every terminal is accepted.
    QStringList terminals;

private:
    static void parseListen(const QString &value, SimOptions &options);
    static CardSeed parseCard(const QString &value);
    static qint64 parseKopecks(const QString &text, const QString &option);
};

#endif // SIMOPTIONS_H
