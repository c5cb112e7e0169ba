#ifndef MARIADBSANDBOX_H
#define MARIADBSANDBOX_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>

#include <memory>

/*!
    A private MariaDB for one test executable, made by scripts/mariadb-sandbox
    in a temporary directory: the database `dictionaries` with the tables
    `card`, `client` and `mol`, reached on a Unix socket. start() exports
    MYSQL_UNIX_PORT, so every MySQL connection of the process (the plug-in's
    too) reaches this server. Start one in initTestCase; stop() or the
    destructor ends the server by its pid.
*/
class MariaDbSandbox
{
public:
    MariaDbSandbox();
    ~MariaDbSandbox();

    // Starts the server (again, after stop(), on the same data); a seed file
    // of SQL statements is applied to `dictionaries` once it answers.
    bool start(const QString &seedFile = QString());
    void stop();
    bool isRunning() const;

    // One statement on the sandbox's own connection; `values` are bound to
    // its "?" placeholders in order, so quotes and backslashes arrive as
    // they are.
    bool exec(const QString &statement, const QVariantList &values = QVariantList());
    // The suites' usual till: `card` (idcard 7001) of client 501, Тестов
    // Тест, and the cashier Кассирова Мария under `cashierCode`.
    bool addCardholder(const QString &card, const QString &cashierCode);

    QString socketPath() const;
    QString directory() const;
    // Why the last start() or exec() failed.
    QString errorString() const;
    // The name of the fixture's own connection, never Qt's default one.
    QString connectionName() const;

    static QString scriptPath();
    // Runs a sandbox script (bash SCRIPT ARGUMENTS...) to its end, serving
    // the event loop meanwhile; false, with the reason in `error`, when it
    // could not run, outlived `timeoutMs` or failed.
    static bool runScript(const QString &script, const QStringList &arguments, QByteArray *output,
                          QString *error, int timeoutMs);

private:
    bool runScript(const QStringList &arguments, QByteArray *output);
    bool openConnection();
    void closeConnection();

    std::unique_ptr<QTemporaryDir> dir;
    QString socket;
    QString error;
    QString connection;
    bool running;
    bool hadSocketVariable;
    QByteArray previousSocketVariable;
};

#endif // MARIADBSANDBOX_H
