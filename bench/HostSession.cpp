#include "HostSession.h"

#include <QFile>

HostSession::HostSession(const QString &program, const QString &plugin)
{
    process.setProgram(program);
    process.setArguments(
        {QStringLiteral("--plugin"), plugin, QStringLiteral("--json"), QStringLiteral("-")});
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
}

HostSession::~HostSession()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool HostSession::start()
{
    process.start();
    return process.waitForStarted(5000);
}

QByteArray HostSession::ask(const QByteArray &command)
{
    process.write(command + '\n');
    process.waitForBytesWritten(5000);
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(60000))
            return QByteArray();
    }
    return process.readLine().trimmed();
}

long HostSession::residentKb() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}
