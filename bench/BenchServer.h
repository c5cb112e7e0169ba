#ifndef BENCHSERVER_H
#define BENCHSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>

/*!
    A server under test as a child process. Its log goes to a file (a pipe
    that nobody reads would stop it once full); start() waits for the
    "listening on 127.0.0.1:PORT" line there, with or without a time stamp
    before it, and takes the port from it. stop() sends SIGTERM.
*/
class BenchServer
{
public:
    BenchServer(const QString &name, const QString &program, const QStringList &arguments,
                const QString &logFile);
    ~BenchServer();

    // False, with the reason on stderr, when it did not come to listen.
    bool start();
    void stop();

    QString name() const { return m_name; }
    quint16 port() const { return m_port; }

private:
    const QString m_name;
    const QString m_logFile;
    QProcess m_process;
    quint16 m_port = 0;
};

#endif // BENCHSERVER_H
