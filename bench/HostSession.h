#ifndef HOSTSESSION_H
#define HOSTSESSION_H

#include <QByteArray>
#include <QString>

#include <sys/types.h>

/*!
    One long-lived `payment-host --json -`, as a till keeps the plug-in
    loaded: a command line goes in, its one answer line comes back. Plain
    pipes, so the harness adds as little as it can to what is measured. The
    host works in the till tree at `root` (TILLHOUSE_ROOT).
*/
class HostSession
{
public:
    HostSession(const QString &program, const QString &plugin, const QString &root);
    ~HostSession();

    bool start();
    // The answer line, or an empty one when the host did not answer.
    QByteArray ask(const QByteArray &command);
    pid_t pid() const { return child; }
    // Resident set size of the host, in kB (from /proc).
    long residentKb() const;

private:
    const QByteArray program;
    const QByteArray plugin;
    const QByteArray rootVariable;
    pid_t child = -1;
    int toHost = -1;
    int fromHost = -1;
    QByteArray pending;
};

#endif // HOSTSESSION_H
