#ifndef GALERASANDBOX_H
#define GALERASANDBOX_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>

/*!
    A private MariaDB Galera cluster on 127.0.0.1, made by
    scripts/galera-sandbox in a temporary directory: each node with the empty
    database `ledger`, reached on its own Unix socket. start() again brings
    back the nodes that are not running (a node killed on purpose rejoins
    the others). Nodes count from 1. stop() or the destructor ends every node
    by its pid.
*/
class GaleraSandbox
{
public:
    GaleraSandbox() = default;
    ~GaleraSandbox();

    // False, with the reason in errorString(), when the cluster did not come
    // up (a machine without Galera, say).
    bool start(int nodes = 3);
    void stop();

    // accounting-sim's --db for each node, node 1 first.
    QStringList ledgers() const { return m_ledgers; }
    // The node's server process, or 0 when it does not run.
    qint64 nodePid(int node) const;
    // SIGKILL, as a crash; waits until the process is gone.
    bool killNode(int node);

    // The first column of the first row of `statement` on the node's ledger
    // database; invalid, with the reason in errorString(), when it failed.
    QVariant value(int node, const QString &statement);

    QString errorString() const { return m_error; }
    QString directory() const;

    static QString scriptPath();

private:
    QString socketPath(int node) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_ledgers;
    QString m_error;
};

#endif // GALERASANDBOX_H
