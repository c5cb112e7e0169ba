#include "SimProcess.h"

#include <QDeadlineTimer>
#include <QFile>

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
    if (m_openFileLimit > 0) {
        // The shell sets the limit and becomes the server: the pid stays the server's.
        m_process.setProgram(QStringLiteral("/bin/sh"));
        m_process.setArguments(
            QStringList {QStringLiteral("-c"),
                         QStringLiteral("ulimit -n %1 && exec \"$0\" \"$@\"").arg(m_openFileLimit),
                         program()}
            + arguments);
    } else {
        m_process.setProgram(program());
        m_process.setArguments(arguments);
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
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        if (!m_process.canReadLine())
            continue;
        const QString first = QString::fromUtf8(m_process.readLine()).chopped(1);
        const QRegularExpressionMatch match = listening.match(unstamped(first));
        if (!match.hasMatch()) {
            m_error = QStringLiteral("unexpected first line: ") + first;
            return false;
        }
        m_port = quint16(match.captured(1).toUInt());
        return m_port != 0;
    }
    m_error = QStringLiteral("no listening line; stderr: ")
        + QString::fromUtf8(m_process.readAllStandardError());
    return false;
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
    while (m_raw.size() < count && m_process.waitForReadyRead(int(deadline.remainingTime())))
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
        if (deadline.hasExpired()
            || !m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return QString();
    }
}

qint64 SimProcess::peakMemoryKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
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
    m_pending += m_process.readAllStandardOutput();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        m_raw.append(QString::fromUtf8(m_pending.left(end)));
        m_pending.remove(0, end + 1);
    }
}
