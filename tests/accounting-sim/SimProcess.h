#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <QProcess>
#include <QStringList>

/*!
    accounting-sim as a child process. start() waits for its
    "listening on HOST:PORT" line and takes the port from it; every stdout
    line after that is kept for the tests to look at.
*/
class SimProcess
{
public:
    SimProcess() = default;
    ~SimProcess();

    static QString program();

    // False (with the reason in error()) when no listening line came.
    bool start(const QStringList &arguments);
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }

    // Call lines logged so far, the listening line excluded.
    QStringList lines();
    // Waits until at least count call lines were logged; returns all of them.
    QStringList waitForLines(int count, int timeoutMs = 5000);

    // Sends the signal and waits; the exit code, or -1 if it did not exit normally.
    int stop(int signal);
    QProcess &process() { return m_process; }

private:
    void readLines();

    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
    quint16 m_port = 0;
    QString m_error;
};

#endif // SIMPROCESS_H
