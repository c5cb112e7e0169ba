#include "FloorClient.h"

#include "AccountingLogicService.h"

#include <QFile>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>

#include <mysql.h>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

namespace api = accounting::logic::thriftapi;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TSocket;

namespace {

// One call on a connection of its own, as the till makes them.
template<typename Call> bool call(quint16 port, Call &&work)
{
    try {
        auto socket = std::make_shared<TSocket>("127.0.0.1", port);
        socket->setConnTimeout(5000);
        socket->setRecvTimeout(15000);
        socket->setSendTimeout(5000);
        auto transport = std::make_shared<TBufferedTransport>(socket, 4096, 1024);
        api::AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(transport));
        transport->open();
        api::Result result;
        work(client, result);
        transport->close();
        return result.success;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "floor: %s\n", e.what());
        return false;
    }
}

} // namespace

FloorClient::FloorClient(const QString &terminal, quint16 port, const QString &journalPath)
    : terminal(terminal)
    , port(port)
    , journalPath(journalPath)
{
}

FloorClient::~FloorClient()
{
    journalDb.close();
    journalDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("floor-journal"));
}

bool FloorClient::open()
{
    journalDb
        = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("floor-journal"));
    journalDb.setDatabaseName(journalPath);
    MYSQL *db = connect();
    if (!db || !journalDb.open()) {
        std::fprintf(stderr, "floor: %s\n", qPrintable(journalDb.lastError().text()));
        return false;
    }
    mysql_close(db);
    QSqlQuery setup(journalDb);
    return setup.exec(QStringLiteral("PRAGMA journal_mode=WAL"))
        && setup.exec(QStringLiteral("PRAGMA synchronous=FULL"))
        && setup.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS operations (id INTEGER PRIMARY "
                                     "KEY, transaction_id TEXT, card TEXT, amount INTEGER,"
                                     " outcome TEXT)"));
}

MYSQL *FloorClient::connect()
{
    MYSQL *db = mysql_init(nullptr);
    mysql_options(db, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const QByteArray socket = qgetenv("MYSQL_UNIX_PORT");
    if (!mysql_real_connect(db, "localhost", "root", nullptr, "dictionaries", 0,
                            socket.isEmpty() ? nullptr : socket.constData(), 0)) {
        std::fprintf(stderr, "floor: %s\n", mysql_error(db));
        mysql_close(db);
        return nullptr;
    }
    return db;
}

bool FloorClient::lookup(MYSQL *db, const char *statement, const QByteArray &value,
                         QByteArray *first)
{
    QByteArray escaped(value.size() * 2 + 1, '\0');
    escaped.resize(int(mysql_real_escape_string(db, escaped.data(), value.constData(),
                                                (unsigned long)value.size())));
    QByteArray sql(statement);
    sql.replace('?', "'" + escaped + "'");
    if (mysql_real_query(db, sql.constData(), (unsigned long)sql.size()) != 0)
        return false;
    MYSQL_RES *result = mysql_store_result(db);
    MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr;
    if (row && first)
        *first = QByteArray(row[0] ? row[0] : "");
    const bool found = row != nullptr;
    mysql_free_result(result);
    return found;
}

bool FloorClient::journal(const QString &statement, const QVariantList &values)
{
    QSqlQuery query(journalDb);
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

bool FloorClient::balance(const QString &card)
{
    MYSQL *db = connect();
    QByteArray client;
    const bool found = db
        && lookup(db, "select idclient, idcard from card where number = ?", card.toUtf8(), &client)
        && lookup(db, "select name from client where idClient = ?", client);
    if (db)
        mysql_close(db);
    if (!found)
        return false;
    const std::string t = terminal.toStdString(), c = card.toStdString();
    return call(port,
                [&](api::AccountingLogicServiceClient &s, api::Result &r) { s.balance(r, t, c); });
}

bool FloorClient::sale(const QString &card, qint64 kopecks, const QString &cashierCode)
{
    QFile receipt(qEnvironmentVariable("TILLHOUSE_ROOT")
                  + QStringLiteral("/cash/data/tmp/check.img"));
    if (!receipt.open(QIODevice::ReadOnly) || QJsonDocument::fromJson(receipt.readAll()).isNull())
        return false;
    MYSQL *db = connect();
    QByteArray client;
    const bool found = db
        && lookup(db, "select idclient, idcard from card where number = ?", card.toUtf8(), &client)
        && lookup(db, "select name from client where idClient = ?", client)
        && lookup(db, "select name from mol where code = ?", cashierCode.toUtf8());
    if (db)
        mysql_close(db);
    if (!found)
        return false;
    const std::string t = terminal.toStdString(), c = card.toStdString();
    if (!call(port,
              [&](api::AccountingLogicServiceClient &s, api::Result &r) { s.balance(r, t, c); }))
        return false;

    const QString id = QStringLiteral("floor-%1").arg(++transactions);
    if (!journal(QStringLiteral(
                     "INSERT INTO operations (transaction_id, card, amount) VALUES (?, ?, ?)"),
                 {id, card, kopecks}))
        return false;
    std::string session;
    api::AdditionalAssetInfo info;
    info.__set_dateFromCash(QDateTime::currentMSecsSinceEpoch());
    if (!call(port,
              [&](api::AccountingLogicServiceClient &s, api::Result &r) {
                  s.makePay(r, t, id.toStdString(), c, kopecks, info);
                  session = r.sessionId;
              })
        || !call(port, [&](api::AccountingLogicServiceClient &s, api::Result &r) {
               s.commitTransaction(r, t, session, c);
           }))
        return false;
    return journal(
        QStringLiteral("UPDATE operations SET outcome = 'committed' WHERE transaction_id = ?"),
        {id});
}
