#include "BenchServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>

BenchServer::BenchServer(const QString &name, const QString &program, const QStringList &arguments,
                         const QString &logFile)
    : m_name(name)
    , m_logFile(logFile)
{
    m_process.setProgram(program);
    m_process.setArguments(arguments);
    m_process.setStandardOutputFile(logFile);
    m_process.setStandardErrorFile(logFile + QStringLiteral(".err"));
}

BenchServer::~BenchServer()
{
    stop();
}

bool BenchServer::start()
{
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        std::fprintf(stderr, "bench: cannot start %s: %s\n", qPrintable(m_name),
                     qPrintable(m_process.errorString()));
        return false;
    }
    const QRegularExpression listening(
        QStringLiteral("^(\\S+ )?listening on 127\\.0\\.0\\.1:(\\d+)$"));
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        QFile log(m_logFile);
        if (log.open(QIODevice::ReadOnly)) {
            const QString first = QString::fromUtf8(log.readLine()).trimmed();
            const QRegularExpressionMatch match = listening.match(first);
            if (match.hasMatch()) {
                m_port = quint16(match.captured(2).toUInt());
                return true;
            }
        }
        // The server writes its first line in a few milliseconds.
        QThread::msleep(10);
    }
    std::fprintf(stderr, "bench: %s did not come to listen; see %s\n", qPrintable(m_name),
                 qPrintable(m_logFile));
    return false;
}

void BenchServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
