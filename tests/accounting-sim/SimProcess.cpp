#include "SimProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

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
    m_process.setProgram(program());
    m_process.setArguments(arguments);
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
        const QRegularExpressionMatch match = listening.match(first);
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

QStringList SimProcess::lines()
{
    readLines();
    return m_lines;
}

QStringList SimProcess::waitForLines(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    readLines();
    while (m_lines.size() < count && m_process.waitForReadyRead(int(deadline.remainingTime())))
        readLines();
    return m_lines;
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

void SimProcess::readLines()
{
    m_pending += m_process.readAllStandardOutput();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_pending.left(end)));
        m_pending.remove(0, end + 1);
    }
}
