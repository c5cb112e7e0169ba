#ifndef HOSTPROCESS_H
#define HOSTPROCESS_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>

// What a finished payment-host left behind.
struct HostRun
{
    // The exit code; -1 when the host crashed, was killed or never ran.
    int exitCode = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    // Each line of `out` that is a JSON object.
    QList<QJsonObject> answers() const;
};

/*!
    The build's payment-host as a child process, loading the build's plug-in
    (BONUS_PLUGIN_PATH) unless the arguments name one or `ownLookup` lets
    payment-host find it itself. start() returns once
    it runs, so a test can learn its pid; finish() closes its input, waits
    and collects what it printed. A host that does not finish in time is
    killed. As root, `asNobody` runs it as user nobody, for whom permissions
    on files and directories count.
*/
class HostProcess
{
public:
    explicit HostProcess(const QStringList &arguments,
                         const QProcessEnvironment &environment
                         = QProcessEnvironment::systemEnvironment(),
                         bool asNobody = false, bool ownLookup = false);

    bool start();
    qint64 pid() const { return process.processId(); }
    void write(const QByteArray &input) { process.write(input); }
    // A whole line of its output, when one has come; never waits (the event
    // loop brings the output in).
    bool takeLine(QByteArray *line);
    // One exchange with a host reading stdin ("-"): sends the line, waits
    // for its one answer line and returns it without the newline; empty
    // when none came in time. For a host that lives through many commands,
    // as a till keeps the plug-in loaded.
    QByteArray ask(const QByteArray &line, int timeoutMs = 60000);
    // The host's resident size (VmRSS) in KiB, or -1.
    qint64 residentKiB() const;
    HostRun finish(int timeoutMs = 60000);

    // One call: start, feed `input`, finish.
    static HostRun run(const QStringList &arguments, const QByteArray &input = QByteArray(),
                       const QProcessEnvironment &environment
                       = QProcessEnvironment::systemEnvironment(),
                       bool ownLookup = false);

private:
    QProcess process;
    QStringList command;
};

#endif // HOSTPROCESS_H
