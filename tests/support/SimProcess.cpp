#include "SimProcess.h"

#include "ProcessMemory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <csignal>

SimProcess::~SimProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString SimProcess::program()
{
    return QStringLiteral(ACCOUNTING_SIM_PATH);
}

bool SimProcess::start(const QStringList &arguments)
{
    const QString server = m_program.isEmpty() ? program() : m_program;
    if (m_openFileLimit > 0) {
        // The shell sets the limit and becomes the server: the pid stays the server's.
        m_process.setProgram(QStringLiteral("/bin/sh"));
        m_process.setArguments(
            QStringList {QStringLiteral("-c"),
                         QStringLiteral("ulimit -n %1 && exec \"$0\" \"$@\"").arg(m_openFileLimit),
                         server}
            + arguments);
    } else {
        m_process.setProgram(server);
        m_process.setArguments(arguments);
    }
    if (!m_logFile.isEmpty()) {
        m_process.setStandardOutputFile(m_logFile);
        m_process.setStandardErrorFile(m_logFile + QStringLiteral(".err"));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    m_process.setProcessEnvironment(environment);
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }

    const QRegularExpression listening(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$"));
    QDeadlineTimer deadline(10000);
    for (readLines(); m_raw.isEmpty(); readLines()) {
        if (deadline.hasExpired() || !waitForOutput(int(deadline.remainingTime()))) {
            m_error = m_logFile.isEmpty() ? QStringLiteral("no listening line; stderr: ")
                    + QString::fromUtf8(m_process.readAllStandardError())
                                          : QStringLiteral("no listening line; see ") + m_logFile;
            return false;
        }
    }
    const QString first = m_raw.takeFirst();
    const QRegularExpressionMatch match = listening.match(unstamped(first));
    if (!match.hasMatch()) {
        m_error = QStringLiteral("unexpected first line: ") + first;
        return false;
    }
    m_port = quint16(match.captured(1).toUInt());
    return m_port != 0;
}

quint16 SimProcess::adminPort()
{
    return portFrom(QStringLiteral("admin service listening on"));
}

quint16 SimProcess::metricsPort()
{
    return portFrom(QStringLiteral("metrics listening on"));
}

quint16 SimProcess::portFrom(const QString &prefix)
{
    const QRegularExpression pattern(QRegularExpression::escape(prefix)
                                     + QStringLiteral(" 127\\.0\\.0\\.1:(\\d+)\\b"));
    return quint16(pattern.match(waitForLine(pattern)).captured(1).toUInt());
}

QStringList SimProcess::lines()
{
    readLines();
    QStringList result;
    for (const QString &line : qAsConst(m_raw))
        result << unstamped(line);
    return result;
}

QStringList SimProcess::rawLines()
{
    readLines();
    return m_raw;
}

QStringList SimProcess::waitForLines(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    readLines();
    while (m_raw.size() < count && waitForOutput(int(deadline.remainingTime())))
        readLines();
    return lines();
}

QString SimProcess::waitForLine(const QRegularExpression &pattern, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    int checked = 0;
    for (;;) {
        readLines();
        for (; checked < m_raw.size(); ++checked) {
            const QString line = unstamped(m_raw.at(checked));
            if (pattern.match(line).hasMatch())
                return line;
        }
        if (deadline.hasExpired() || !waitForOutput(int(qMax<qint64>(1, deadline.remainingTime()))))
            return QString();
    }
}

qint64 SimProcess::peakMemoryKiB() const
{
    return ProcessMemory::kib(pid(), "VmHWM:");
}

int SimProcess::stop(int signal)
{
    if (signal == SIGTERM)
        m_process.terminate();
    else
        ::kill(pid_t(m_process.processId()), signal);
    if (!m_process.waitForFinished(10000))
        return -1;
    readLines();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString SimProcess::unstamped(const QString &line)
{
    // "2024-05-01T10:00:00.123Z listening on ..." -> "listening on ..."
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z "));
    const QRegularExpressionMatch match = stamp.match(line);
    return match.hasMatch() ? line.mid(match.capturedLength()) : line;
}

void SimProcess::readLines()
{
    if (m_logFile.isEmpty()) {
        m_pending += m_process.readAllStandardOutput();
    } else {
        QFile log(m_logFile);
        if (log.open(QIODevice::ReadOnly) && log.seek(m_logRead)) {
            const QByteArray more = log.readAll();
            m_logRead += more.size();
            m_pending += more;
        }
    }
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        m_raw.append(QString::fromUtf8(m_pending.left(end)));
        m_pending.remove(0, end + 1);
    }
}

bool SimProcess::waitForOutput(int timeoutMs)
{
    if (m_logFile.isEmpty())
        return m_process.waitForReadyRead(timeoutMs);
    // A file tells nobody when it grows: look again shortly, while the
    // server runs.
    if (timeoutMs == 0 || m_process.state() != QProcess::Running)
        return false;
    QThread::msleep(timeoutMs < 0 ? 10 : qMin(timeoutMs, 10));
    return true;
}
