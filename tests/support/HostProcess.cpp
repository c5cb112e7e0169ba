#include "HostProcess.h"

#include "ProcessMemory.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>

#include <unistd.h>

HostProcess::HostProcess(const QStringList &arguments, const QProcessEnvironment &environment,
                         bool asNobody, bool ownLookup)
{
    command << qEnvironmentVariable("BONUS_BINARY_DIR") + QStringLiteral("/host/payment-host");
    if (!ownLookup && !arguments.contains(QStringLiteral("--plugin")))
        command << QStringLiteral("--plugin") << qEnvironmentVariable("BONUS_PLUGIN_PATH");
    command << arguments;
    // Root may write into any directory; a read-only one needs another user.
    if (asNobody && geteuid() == 0)
        command = QStringList {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                               QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                               QStringLiteral("--")}
            + command;
    process.setProcessEnvironment(environment);
}

bool HostProcess::start()
{
    const QString program = command.first();
    process.start(program, command.mid(1));
    return process.waitForStarted(5000);
}

bool HostProcess::takeLine(QByteArray *line)
{
    if (!process.canReadLine())
        return false;
    *line = process.readLine();
    return true;
}

QByteArray HostProcess::ask(const QByteArray &line, int timeoutMs)
{
    process.write(line + '\n');
    QDeadlineTimer deadline(timeoutMs);
    while (!process.canReadLine()) {
        if (deadline.hasExpired() || !process.waitForReadyRead(int(deadline.remainingTime())))
            return QByteArray();
    }
    return process.readLine().chopped(1);
}

qint64 HostProcess::residentKiB() const
{
    return ProcessMemory::kib(pid(), "VmRSS:");
}

HostRun HostProcess::finish(int timeoutMs)
{
    HostRun run;
    process.closeWriteChannel();
    // The event loop runs meanwhile: other children of the test (the
    // accounting server logging every call) must not stall on a full pipe.
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process.waitForFinished(20);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    run.crashed = process.exitStatus() == QProcess::CrashExit;
    run.exitCode = run.crashed ? -1 : process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

HostRun HostProcess::run(const QStringList &arguments, const QByteArray &input,
                         const QProcessEnvironment &environment, bool ownLookup)
{
    HostProcess host(arguments, environment, false, ownLookup);
    if (!host.start())
        return HostRun();
    host.write(input);
    return host.finish();
}

QList<QJsonObject> HostRun::answers() const
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            objects << document.object();
    }
    return objects;
}
