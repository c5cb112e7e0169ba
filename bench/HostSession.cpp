#include "HostSession.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char **environ;

HostSession::HostSession(const QString &program, const QString &plugin, const QString &root)
    : program(QFile::encodeName(program))
    , plugin(QFile::encodeName(plugin))
    , rootVariable("TILLHOUSE_ROOT=" + QFile::encodeName(root))
{
}

HostSession::~HostSession()
{
    if (toHost >= 0)
        ::close(toHost);
    if (fromHost >= 0)
        ::close(fromHost);
    if (child > 0) {
        // End of input ends the host; it finishes the line it is on first.
        int status = 0;
        ::waitpid(child, &status, 0);
    }
}

bool HostSession::start()
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char *arguments[]
        = {program.constData(), "--plugin", plugin.constData(), "--json", "-", nullptr};
    std::vector<char *> environment;
    for (char **variable = environ; *variable; ++variable) {
        if (qstrncmp(*variable, "TILLHOUSE_ROOT=", 15) != 0)
            environment.push_back(*variable);
    }
    environment.push_back(const_cast<char *>(rootVariable.constData()));
    environment.push_back(nullptr);
    const int failed = posix_spawn(&child, program.constData(), &actions, nullptr,
                                   const_cast<char **>(arguments), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toHost = in[1];
    fromHost = out[0];
    if (failed != 0)
        child = -1;
    return failed == 0;
}

QByteArray HostSession::ask(const QByteArray &command)
{
    const QByteArray line = command + '\n';
    if (::write(toHost, line.constData(), size_t(line.size())) != line.size())
        return QByteArray();
    char buffer[65536];
    for (;;) {
        const int end = pending.indexOf('\n');
        if (end >= 0) {
            const QByteArray answer = pending.left(end);
            pending.remove(0, end + 1);
            return answer;
        }
        const ssize_t got = ::read(fromHost, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return QByteArray();
        pending.append(buffer, int(got));
    }
}

long HostSession::residentKb() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(child));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}
