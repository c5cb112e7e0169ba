#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

/*!
    accounting-sim as a child process. start() waits for its
    "listening on HOST:PORT" line and takes the port from it; every stdout
    line after that is kept for the tests to look at (or the benchmarks,
    which send it to a file).

    The server stamps each log line with the time; lines() gives them without
    the stamp (the method name first), rawLines() as written.
*/
class SimProcess
{
public:
    SimProcess() = default;
    ~SimProcess();

    static QString program();

    // Runs another program that logs the same listening line (another build
    // of the server, a bare server to compare with); before start().
    void setProgram(const QString &program) { m_program = program; }
    // Its output goes to this file, its errors to the file + ".err", rather
    // than to pipes: for runs whose log would outgrow what is kept in
    // memory. The lines are read back from the file. Before start().
    void setLogFile(const QString &path) { m_logFile = path; }

    // Runs the server under this open-file limit (soft and hard); before start().
    void setOpenFileLimit(int limit) { m_openFileLimit = limit; }

    // False (with the reason in error()) when no listening line came.
    bool start(const QStringList &arguments);
    quint16 port() const { return m_port; }
    // The administrative and HTTP ports, from their listening lines
    // (--admin-listen, --metrics-listen); 0 if none came.
    quint16 adminPort();
    quint16 metricsPort();
    QString error() const { return m_error; }
    qint64 pid() const { return m_process.processId(); }

    // Lines logged so far, the listening line excluded.
    QStringList lines();
    QStringList rawLines();
    // Waits until at least count lines were logged; returns all of them.
    QStringList waitForLines(int count, int timeoutMs = 5000);
    // Waits for a line (without its stamp) that matches; empty if none came.
    QString waitForLine(const QRegularExpression &pattern, int timeoutMs = 5000);

    // The server's peak resident memory (VmHWM) in KiB, or -1.
    qint64 peakMemoryKiB() const;

    // Sends the signal and waits; the exit code, or -1 if it did not exit normally.
    int stop(int signal);
    QProcess &process() { return m_process; }

    // A log line without its leading time stamp.
    static QString unstamped(const QString &line);

private:
    void readLines();
    // Whether more output may have come within the time (-1: no limit).
    bool waitForOutput(int timeoutMs);
    quint16 portFrom(const QString &prefix);

    QProcess m_process;
    QByteArray m_pending;
    QStringList m_raw;
    quint16 m_port = 0;
    QString m_error;
    int m_openFileLimit = 0;
    QString m_program;
    QString m_logFile;
    qint64 m_logRead = 0;
};

#endif // SIMPROCESS_H
