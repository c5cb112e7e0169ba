#include "GaleraSandbox.h"

#include "MariaDbSandbox.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <csignal>

namespace {
// Each node may wait for a state transfer; a busy machine makes that slow.
const int scriptTimeoutMs = 300 * 1000;
} // namespace

GaleraSandbox::~GaleraSandbox()
{
    stop();
}

QString GaleraSandbox::scriptPath()
{
    return qEnvironmentVariable("BONUS_SOURCE_DIR") + QStringLiteral("/scripts/galera-sandbox");
}

bool GaleraSandbox::start(int nodes)
{
    m_error.clear();
    if (!m_dir) {
        // Short: the sockets' paths must fit a Unix socket address.
        m_dir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/gal-XXXXXX")));
        if (!m_dir->isValid()) {
            m_error
                = QStringLiteral("cannot make a temporary directory: %1").arg(m_dir->errorString());
            m_dir.reset();
            return false;
        }
    }
    QByteArray output;
    if (!MariaDbSandbox::runScript(scriptPath(),
                                   {QStringLiteral("start"), m_dir->path(), QString::number(nodes)},
                                   &output, &m_error, scriptTimeoutMs))
        return false;
    m_ledgers.clear();
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("LEDGER="))
            m_ledgers << QString::fromLocal8Bit(line.mid(7).trimmed());
    }
    if (m_ledgers.size() != nodes) {
        m_error = QStringLiteral("%1 printed %2 ledgers for %3 nodes: %4")
                      .arg(scriptPath())
                      .arg(m_ledgers.size())
                      .arg(nodes)
                      .arg(QString::fromLocal8Bit(output));
        return false;
    }
    return true;
}

void GaleraSandbox::stop()
{
    for (const QString &name : QSqlDatabase::connectionNames()) {
        if (!name.startsWith(QStringLiteral("GaleraSandbox-")))
            continue;
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    if (!m_dir)
        return;
    QString ignored;
    MariaDbSandbox::runScript(scriptPath(), {QStringLiteral("stop"), m_dir->path()}, nullptr,
                              &ignored, scriptTimeoutMs);
}

QString GaleraSandbox::directory() const
{
    return m_dir ? m_dir->path() : QString();
}

QString GaleraSandbox::socketPath(int node) const
{
    return QStringLiteral("%1/node%2/mysqld.sock").arg(directory()).arg(node);
}

qint64 GaleraSandbox::nodePid(int node) const
{
    QFile file(QStringLiteral("%1/node%2/mariadbd.pid").arg(directory()).arg(node));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const qint64 pid = file.readAll().trimmed().toLongLong();
    return pid > 0 && ::kill(pid_t(pid), 0) == 0 ? pid : 0;
}

bool GaleraSandbox::killNode(int node)
{
    const qint64 pid = nodePid(node);
    if (pid <= 0 || ::kill(pid_t(pid), SIGKILL) != 0) {
        m_error = QStringLiteral("node %1 does not run").arg(node);
        return false;
    }
    // Not our child: its end shows as the pid going away.
    QDeadlineTimer deadline(10000);
    while (::kill(pid_t(pid), 0) == 0 && !deadline.hasExpired())
        QThread::msleep(20);
    return ::kill(pid_t(pid), 0) != 0;
}

QVariant GaleraSandbox::value(int node, const QString &statement)
{
    const QString name = QStringLiteral("GaleraSandbox-%1-%2").arg(quintptr(this), 0, 16).arg(node);
    // Twice: a connection made before the node was killed finds it gone.
    for (int attempt = 0; attempt < 2; ++attempt) {
        QSqlDatabase db = QSqlDatabase::contains(name)
            ? QSqlDatabase::database(name, false)
            : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        if (!db.isOpen()) {
            db.setDatabaseName(QStringLiteral("ledger"));
            db.setUserName(QStringLiteral("root"));
            db.setConnectOptions(QStringLiteral("UNIX_SOCKET=") + socketPath(node));
            if (!db.open()) {
                m_error = QStringLiteral("cannot connect to node %1: %2")
                              .arg(node)
                              .arg(db.lastError().text());
                return QVariant();
            }
        }
        QSqlQuery query(db);
        // What every node committed before this read, as a ledger reads it.
        if (query.exec(QStringLiteral("SET SESSION wsrep_sync_wait = 1")) && query.exec(statement)
            && query.next())
            return query.value(0);
        m_error = QStringLiteral("%1 on node %2: %3")
                      .arg(statement)
                      .arg(node)
                      .arg(query.lastError().text());
        query = QSqlQuery();
        db.close();
    }
    return QVariant();
}
