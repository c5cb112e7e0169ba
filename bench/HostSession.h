#ifndef HOSTSESSION_H
#define HOSTSESSION_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>

/*!
    One long-lived `payment-host --json -`, as a till keeps the plug-in
    loaded: a command line goes in, its one answer line comes back.
*/
class HostSession
{
public:
    HostSession(const QString &program, const QString &plugin);
    ~HostSession();

    bool start();
    // The answer line, or an empty one when the host did not answer.
    QByteArray ask(const QByteArray &command);
    qint64 pid() const { return process.processId(); }
    // Resident set size of the host, in kB (from /proc).
    long residentKb() const;

private:
    QProcess process;
};

#endif // HOSTSESSION_H
