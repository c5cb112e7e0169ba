#include "MariaDbSandbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtGlobal>

namespace {
const char socketVariable[] = "MYSQL_UNIX_PORT";
// The script waits up to 60 s for the server; initialising comes on top.
const int scriptTimeoutMs = 120 * 1000;
} // namespace

MariaDbSandbox::MariaDbSandbox()
    : connection(QStringLiteral("MariaDbSandbox-%1").arg(quintptr(this), 0, 16))
    , running(false)
    , hadSocketVariable(qEnvironmentVariableIsSet(socketVariable))
    , previousSocketVariable(qgetenv(socketVariable))
{
}

MariaDbSandbox::~MariaDbSandbox()
{
    stop();
    if (hadSocketVariable)
        qputenv(socketVariable, previousSocketVariable);
    else
        qunsetenv(socketVariable);
}

QString MariaDbSandbox::scriptPath()
{
    return qEnvironmentVariable("BONUS_SOURCE_DIR") + QStringLiteral("/scripts/mariadb-sandbox");
}

bool MariaDbSandbox::runScript(const QStringList &arguments, QByteArray *output)
{
    return runScript(scriptPath(), arguments, output, &error, scriptTimeoutMs);
}

bool MariaDbSandbox::runScript(const QString &script, const QStringList &arguments,
                               QByteArray *output, QString *error, int timeoutMs)
{
    QProcess process;
    // Its messages go to the test's own stderr, where a failed start shows.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("bash"), QStringList {script} + arguments);
    if (!process.waitForStarted()) {
        *error = QStringLiteral("cannot run %1: %2").arg(script, process.errorString());
        return false;
    }
    // The event loop runs meanwhile: a test's other children (tills, servers)
    // are served while a server starts.
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        process.waitForFinished(20);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        *error
            = QStringLiteral("%1 %2 did not finish").arg(script, arguments.join(QLatin1Char(' ')));
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("%1 %2 failed with exit code %3")
                     .arg(script, arguments.join(QLatin1Char(' ')))
                     .arg(process.exitCode());
        return false;
    }
    return true;
}

bool MariaDbSandbox::start(const QString &seedFile)
{
    error.clear();
    if (running)
        return true;
    if (!dir) {
        // Short: the socket path must fit a Unix socket address.
        dir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/mdb-XXXXXX")));
        if (!dir->isValid()) {
            error = QStringLiteral("cannot make a temporary directory: %1").arg(dir->errorString());
            dir.reset();
            return false;
        }
    }

    QStringList arguments {QStringLiteral("start"), dir->path()};
    if (!seedFile.isEmpty())
        arguments << seedFile;
    QByteArray output;
    if (!runScript(arguments, &output))
        return false;

    const QByteArray prefix = QByteArray(socketVariable) + '=';
    socket.clear();
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith(prefix))
            socket = QString::fromLocal8Bit(line.mid(prefix.size()).trimmed());
    }
    if (socket.isEmpty()) {
        error
            = QStringLiteral("%1 printed no %2 line: %3")
                  .arg(scriptPath(), QLatin1String(socketVariable), QString::fromLocal8Bit(output));
        runScript({QStringLiteral("stop"), dir->path()}, nullptr);
        return false;
    }
    qputenv(socketVariable, socket.toLocal8Bit());
    running = true;

    if (!openConnection()) {
        stop();
        return false;
    }
    return true;
}

void MariaDbSandbox::stop()
{
    closeConnection();
    if (!dir)
        return;
    // The script ends the server by the pid in its pid file, and is harmless
    // when nothing runs. MYSQL_UNIX_PORT stays on the dead socket, so no
    // other server on this machine is reached by mistake.
    runScript({QStringLiteral("stop"), dir->path()}, nullptr);
    running = false;
}

bool MariaDbSandbox::isRunning() const
{
    return running;
}

bool MariaDbSandbox::openConnection()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), connection);
    db.setDatabaseName(QStringLiteral("dictionaries"));
    db.setUserName(QStringLiteral("root"));
    db.setConnectOptions(QStringLiteral("UNIX_SOCKET=") + socket);
    if (!db.open()) {
        error = QStringLiteral("cannot connect to %1: %2").arg(socket, db.lastError().text());
        return false;
    }
    return exec(QStringLiteral("SET NAMES utf8mb4"));
}

void MariaDbSandbox::closeConnection()
{
    if (!QSqlDatabase::contains(connection))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
}

bool MariaDbSandbox::exec(const QString &statement, const QVariantList &values)
{
    error.clear();
    if (!running) {
        error = QStringLiteral("the sandbox is not running");
        return false;
    }
    QSqlQuery query(QSqlDatabase::database(connection, false));
    bool ok;
    if (values.isEmpty()) {
        // Plain text protocol: not every statement can be prepared.
        ok = query.exec(statement);
    } else {
        ok = query.prepare(statement);
        for (const QVariant &value : values)
            query.addBindValue(value);
        ok = ok && query.exec();
    }
    if (!ok)
        error = QStringLiteral("%1: %2").arg(statement, query.lastError().text());
    return ok;
}

QString MariaDbSandbox::socketPath() const
{
    return socket;
}

QString MariaDbSandbox::directory() const
{
    return dir ? dir->path() : QString();
}

QString MariaDbSandbox::errorString() const
{
    return error;
}

QString MariaDbSandbox::connectionName() const
{
    return connection;
}

bool MariaDbSandbox::addCardholder(const QString &card, const QString &cashierCode)
{
    return exec(QStringLiteral("INSERT INTO card (number, idclient, idcard) VALUES (?, ?, ?)"),
                {card, QStringLiteral("501"), QStringLiteral("7001")})
        && exec(QStringLiteral("INSERT INTO client (idClient, name) VALUES (?, ?)"),
                {QStringLiteral("501"), QStringLiteral("Тестов Тест")})
        && exec(QStringLiteral("INSERT INTO mol (code, name) VALUES (?, ?)"),
                {cashierCode, QStringLiteral("Кассирова Мария")});
}
