#include <QtTest>

#include <functional>
#include <map>

#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include "AccountingAdminLogicService.h"
#include "AccountingLogicService.h"

using namespace accounting::logic::thriftapi;
using apache::thrift::TApplicationException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TMessageType;
using apache::thrift::protocol::TType;
using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TTransportException;

namespace {

QByteArray contents(TMemoryBuffer &buffer)
{
    return QByteArray::fromStdString(buffer.getBufferAsString());
}

std::shared_ptr<TMemoryBuffer> bufferWith(const QByteArray &bytes)
{
    auto buffer = std::make_shared<TMemoryBuffer>();
    buffer->write(reinterpret_cast<const uint8_t *>(bytes.constData()), uint32_t(bytes.size()));
    return buffer;
}

template<class T> QByteArray serialise(const T &value)
{
    auto buffer = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol protocol(buffer);
    value.write(&protocol);
    return contents(*buffer);
}

template<class T> T deserialise(const QByteArray &bytes)
{
    TBinaryProtocol protocol(bufferWith(bytes));
    T value;
    value.read(&protocol);
    return value;
}

QString typeName(TType type)
{
    switch (type) {
    case apache::thrift::protocol::T_BOOL:
        return QStringLiteral("bool");
    case apache::thrift::protocol::T_I32:
        return QStringLiteral("i32");
    case apache::thrift::protocol::T_I64:
        return QStringLiteral("i64");
    case apache::thrift::protocol::T_STRING:
        return QStringLiteral("string");
    case apache::thrift::protocol::T_STRUCT:
        return QStringLiteral("struct");
    case apache::thrift::protocol::T_LIST:
        return QStringLiteral("list");
    default:
        return QString::number(int(type));
    }
}

// "id:type" of every field of the structure that follows, in wire order.
QString fieldsOf(TBinaryProtocol &protocol)
{
    QStringList fields;
    std::string name;
    protocol.readStructBegin(name);
    for (;;) {
        TType type;
        int16_t id;
        protocol.readFieldBegin(name, type, id);
        if (type == apache::thrift::protocol::T_STOP)
            break;
        fields << QStringLiteral("%1:%2").arg(id).arg(typeName(type));
        protocol.skip(type);
        protocol.readFieldEnd();
    }
    protocol.readStructEnd();
    return fields.join(QLatin1Char(' '));
}

// A reply message as the server would write it, strict or old-style header.
QByteArray reply(const std::string &name, TMessageType type,
                 const std::function<void(TBinaryProtocol &)> &body, bool strict = true,
                 int32_t sequenceId = 0)
{
    auto buffer = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol protocol(buffer, 0, 0, false, strict);
    protocol.writeMessageBegin(name, type, sequenceId);
    body(protocol);
    protocol.writeMessageEnd();
    return contents(*buffer);
}

// A result structure: field 0 holds a Result with the given fields.
std::function<void(TBinaryProtocol &)>
resultWith(const std::function<void(TBinaryProtocol &)> &fields)
{
    return [fields](TBinaryProtocol &p) {
        p.writeStructBegin("result");
        p.writeFieldBegin("success", apache::thrift::protocol::T_STRUCT, 0);
        p.writeStructBegin("Result");
        fields(p);
        p.writeFieldStop();
        p.writeStructEnd();
        p.writeFieldEnd();
        p.writeFieldStop();
        p.writeStructEnd();
    };
}

void stringField(TBinaryProtocol &p, int16_t id, const std::string &value)
{
    p.writeFieldBegin("", apache::thrift::protocol::T_STRING, id);
    p.writeString(value);
    p.writeFieldEnd();
}

void i64Field(TBinaryProtocol &p, int16_t id, int64_t value)
{
    p.writeFieldBegin("", apache::thrift::protocol::T_I64, id);
    p.writeI64(value);
    p.writeFieldEnd();
}

void i32Field(TBinaryProtocol &p, int16_t id, int32_t value)
{
    p.writeFieldBegin("", apache::thrift::protocol::T_I32, id);
    p.writeI32(value);
    p.writeFieldEnd();
}

void boolField(TBinaryProtocol &p, int16_t id, bool value)
{
    p.writeFieldBegin("", apache::thrift::protocol::T_BOOL, id);
    p.writeBool(value);
    p.writeFieldEnd();
}

void emptyResultStruct(TBinaryProtocol &p)
{
    p.writeStructBegin("result");
    p.writeFieldStop();
    p.writeStructEnd();
}

using Call = std::function<void(AccountingLogicServiceClient &)>;

// One request of every method of the accounting service, with arguments the
// tables' types demand. The administrative service is called for real by
// accounting-sim's suites.
const std::map<QString, Call> &calls()
{
    static const std::map<QString, Call> table = [] {
        const AdditionalAssetInfo info;
        const AssetGroup group;
        std::map<QString, Call> t;
        t[QStringLiteral("pay")] = [=](auto &c) { c.send_pay("t", "s", "c", 1, info); };
        t[QStringLiteral("cancel")] = [](auto &c) { c.send_cancel("t", "s", 1); };
        t[QStringLiteral("back")] = [=](auto &c) { c.send_back("t", "s", "c", 1, info); };
        t[QStringLiteral("balance")] = [](auto &c) { c.send_balance("t", "c"); };
        t[QStringLiteral("add")] = [=](auto &c) { c.send_add("t", "s", "c", 1, info, group); };
        t[QStringLiteral("sub")] = [=](auto &c) { c.send_sub("t", "s", "c", 1, info, group); };
        t[QStringLiteral("makeEarn")]
            = [=](auto &c) { c.send_makeEarn("t", "s", "c", 1, info, group); };
        t[QStringLiteral("makeEarnBack")]
            = [=](auto &c) { c.send_makeEarnBack("t", "s", "c", 1, info, group); };
        t[QStringLiteral("makePay")] = [=](auto &c) { c.send_makePay("t", "s", "c", 1, info); };
        t[QStringLiteral("makePayBack")]
            = [=](auto &c) { c.send_makePayBack("t", "s", "c", 1, info); };
        t[QStringLiteral("commitTransaction")]
            = [](auto &c) { c.send_commitTransaction("t", "s", "c"); };
        t[QStringLiteral("rollbackTransaction")]
            = [](auto &c) { c.send_rollbackTransaction("t", "s", "c"); };
        return t;
    }();
    return table;
}

} // namespace

class WireFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void makePayRequestBytes();
    void assetGroupBytes();
    void requestHeaders_data();
    void requestHeaders();
    void structureFields_data();
    void structureFields();
    void replies_data();
    void replies();
    void failedReplies_data();
    void failedReplies();
    void roundTrips();
    void adminEdgeCases();
};

void WireFormatTest::makePayRequestBytes()
{
    auto out = std::make_shared<TMemoryBuffer>();
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(out));
    AdditionalAssetInfo info; // date not set: still sent, as 0
    client.send_makePay("T1", "S1", "C1", 12345, info);
    const QByteArray expected = QByteArray::fromHex("80010001"
                                                    "00000007")
        + "makePay"
        + QByteArray::fromHex("00000000" // sequence id
                              "0b0001 00000002 5431" // terminalId "T1"
                              "0b0002 00000002 5331" // sessionId "S1"
                              "0b0003 00000002 4331" // cardNumber "C1"
                              "0a0004 0000000000003039" // amount
                              "0c0005 0a000a 0000000000000000 00" // additionalInfo
                              "00");
    QCOMPARE(contents(*out).toHex(' '), expected.toHex(' '));
}

void WireFormatTest::assetGroupBytes()
{
    AssetGroup group;
    group.__set_groupId("g7");
    group.__set_beginDate(1);
    group.__set_endDate(-1);
    group.__set_weight(40);
    const QByteArray expected = QByteArray::fromHex("0b000a 00000002 6737"
                                                    "0a0014 0000000000000001"
                                                    "0a001e ffffffffffffffff"
                                                    "080028 00000028"
                                                    "00");
    QCOMPARE(serialise(group).toHex(' '), expected.toHex(' '));
    QCOMPARE(serialise(AdditionalAssetInfo()).toHex(' '),
             QByteArray::fromHex("0a000a 0000000000000000 00").toHex(' '));
}

void WireFormatTest::requestHeaders_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("arguments");
    const QString money = QStringLiteral("1:string 2:string 3:string 4:i64 5:struct");
    const QString group = money + QStringLiteral(" 6:struct");
    const QString commit = QStringLiteral("1:string 2:string 3:string");
    QTest::newRow("pay") << "pay" << money;
    QTest::newRow("cancel") << "cancel"
                            << "1:string 2:string 3:i32";
    QTest::newRow("back") << "back" << money;
    QTest::newRow("balance") << "balance"
                             << "1:string 2:string";
    QTest::newRow("add") << "add" << group;
    QTest::newRow("sub") << "sub" << group;
    QTest::newRow("makeEarn") << "makeEarn" << group;
    QTest::newRow("makeEarnBack") << "makeEarnBack" << group;
    QTest::newRow("makePay") << "makePay" << money;
    QTest::newRow("makePayBack") << "makePayBack" << money;
    QTest::newRow("commitTransaction") << "commitTransaction" << commit;
    QTest::newRow("rollbackTransaction") << "rollbackTransaction" << commit;
}

void WireFormatTest::requestHeaders()
{
    QFETCH(QString, method);
    QFETCH(QString, arguments);
    QVERIFY(calls().count(method));
    auto out = std::make_shared<TMemoryBuffer>();
    auto protocol = std::make_shared<TBinaryProtocol>(out);
    AccountingLogicServiceClient logic(protocol);
    // Two requests in a row: the sequence id stays 0.
    calls().at(method)(logic);
    calls().at(method)(logic);

    const QByteArray bytes = contents(*out);
    const QByteArray name = method.toLatin1();
    QCOMPARE(bytes.left(8 + name.size() + 4).toHex(' '),
             (QByteArray::fromHex("80010001") + QByteArray::fromHex("000000") + char(name.size())
              + name + QByteArray::fromHex("00000000"))
                 .toHex(' '));

    TBinaryProtocol reader(bufferWith(bytes), 0, 0, true, true);
    for (int i = 0; i < 2; ++i) {
        std::string readName;
        TMessageType type;
        int32_t sequenceId = -1;
        reader.readMessageBegin(readName, type, sequenceId);
        QCOMPARE(QString::fromStdString(readName), method);
        QCOMPARE(type, apache::thrift::protocol::T_CALL);
        QCOMPARE(sequenceId, 0);
        QCOMPARE(fieldsOf(reader), arguments);
        reader.readMessageEnd();
    }
}

void WireFormatTest::structureFields_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("fields");
    QTest::newRow("Result") << serialise(Result()) << "1:bool 2:string 3:string 4:i64 5:i64";
    QTest::newRow("AdditionalAssetInfo") << serialise(AdditionalAssetInfo()) << "10:i64";
    QTest::newRow("AssetGroup") << serialise(AssetGroup()) << "10:string 20:i64 30:i64 40:i32";
}

void WireFormatTest::structureFields()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fields);
    TBinaryProtocol reader(bufferWith(bytes));
    QCOMPARE(fieldsOf(reader), fields); // every field written, even when unset
}

void WireFormatTest::replies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("sessionId");
    QTest::addColumn<QString>("description");
    QTest::addColumn<qint64>("balance");
    QTest::addColumn<qint64>("balanceInactive");

    const auto full = resultWith([](TBinaryProtocol &p) {
        boolField(p, 1, true);
        stringField(p, 2, "S-77");
        stringField(p, 3, "Оплата принята");
        i64Field(p, 4, 150000);
        i64Field(p, 5, -25);
    });
    QTest::newRow("every field") << reply("makePay", apache::thrift::protocol::T_REPLY, full)
                                 << true << "S-77" << QStringLiteral("Оплата принята")
                                 << qint64(150000) << qint64(-25);
    QTest::newRow("old header without version word")
        << reply("makePay", apache::thrift::protocol::T_REPLY, full, false) << true << "S-77"
        << QStringLiteral("Оплата принята") << qint64(150000) << qint64(-25);
    QTest::newRow("another sequence id")
        << reply("makePay", apache::thrift::protocol::T_REPLY, full, true, 41) << true << "S-77"
        << QStringLiteral("Оплата принята") << qint64(150000) << qint64(-25);
    QTest::newRow("success and description only")
        << reply("makePay", apache::thrift::protocol::T_REPLY, resultWith([](TBinaryProtocol &p) {
                     boolField(p, 1, false);
                     stringField(p, 3, "Карта заблокирована");
                 }))
        << false << "" << QStringLiteral("Карта заблокирована") << qint64(0) << qint64(0);
    QTest::newRow("unknown fields skipped")
        << reply("makePay", apache::thrift::protocol::T_REPLY, resultWith([](TBinaryProtocol &p) {
                     stringField(p, 9, "new in a later server");
                     boolField(p, 1, true);
                     p.writeFieldBegin("", apache::thrift::protocol::T_LIST, 77);
                     p.writeListBegin(apache::thrift::protocol::T_I64, 2);
                     p.writeI64(1);
                     p.writeI64(2);
                     p.writeListEnd();
                     p.writeFieldEnd();
                     i64Field(p, 4, 10);
                 }))
        << true << ""
        << "" << qint64(10) << qint64(0);
    QTest::newRow("field 2 as i32")
        << reply("makePay", apache::thrift::protocol::T_REPLY, resultWith([](TBinaryProtocol &p) {
                     boolField(p, 1, true);
                     i32Field(p, 2, 12345);
                     i64Field(p, 4, 7);
                 }))
        << true << ""
        << "" << qint64(7) << qint64(0);
    // The body of a reply for another method is skipped; the result is read
    // from what follows.
    QByteArray misnamed = reply("balance", apache::thrift::protocol::T_REPLY,
                                resultWith([](TBinaryProtocol &p) { stringField(p, 2, "wrong"); }));
    auto following = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol followingWriter(following);
    resultWith([](TBinaryProtocol &p) { stringField(p, 2, "right"); })(followingWriter);
    QTest::newRow("reply named for another method")
        << misnamed + contents(*following) << false << "right"
        << "" << qint64(0) << qint64(0);
}

void WireFormatTest::replies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, success);
    QFETCH(QString, sessionId);
    QFETCH(QString, description);
    QFETCH(qint64, balance);
    QFETCH(qint64, balanceInactive);
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(bufferWith(bytes)));
    Result answer;
    client.recv_makePay(answer);
    QCOMPARE(answer.success, success);
    QCOMPARE(QString::fromStdString(answer.sessionId), sessionId);
    QCOMPARE(QString::fromUtf8(answer.description.c_str()), description);
    QCOMPARE(qint64(answer.balance), balance);
    QCOMPARE(qint64(answer.balanceInactive), balanceInactive);
    QCOMPARE(answer.__isset.sessionId, !sessionId.isEmpty());
}

void WireFormatTest::failedReplies_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("applicationError"); // -1: a transport error

    for (const char *method : {"balance", "makePay", "makePayBack", "commitTransaction"}) {
        QTest::addRow("%s without result", method)
            << method << reply(method, apache::thrift::protocol::T_REPLY, emptyResultStruct)
            << QStringLiteral("%1 failed: unknown result").arg(QLatin1String(method))
            << int(TApplicationException::MISSING_RESULT);
    }
    QTest::newRow("result holding only an unknown field")
        << "makePay"
        << reply("makePay", apache::thrift::protocol::T_REPLY,
                 [](TBinaryProtocol &p) {
                     p.writeStructBegin("result");
                     stringField(p, 1, "exception slot nobody declared");
                     p.writeFieldStop();
                     p.writeStructEnd();
                 })
        << "makePay failed: unknown result" << int(TApplicationException::MISSING_RESULT);
    QTest::newRow("exception reply")
        << "makePay"
        << reply("makePay", apache::thrift::protocol::T_EXCEPTION,
                 [](TBinaryProtocol &p) {
                     TApplicationException(TApplicationException::INTERNAL_ERROR, "ledger offline")
                         .write(&p);
                 })
        << "ledger offline" << int(TApplicationException::INTERNAL_ERROR);
    QTest::newRow("call instead of reply, nothing after")
        << "makePay"
        << reply("makePay", apache::thrift::protocol::T_CALL, resultWith([](auto &) {})) << ""
        << -1;
    QTest::newRow("truncated reply")
        << "makePay"
        << reply("makePay", apache::thrift::protocol::T_REPLY,
                 resultWith([](TBinaryProtocol &p) { stringField(p, 3, "cut"); }))
               .chopped(6)
        << "" << -1;
}

void WireFormatTest::failedReplies()
{
    QFETCH(QString, method);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    QFETCH(int, applicationError);
    AccountingLogicServiceClient client(std::make_shared<TBinaryProtocol>(bufferWith(bytes)));
    Result answer;
    try {
        if (method == QLatin1String("balance"))
            client.recv_balance(answer);
        else if (method == QLatin1String("makePay"))
            client.recv_makePay(answer);
        else if (method == QLatin1String("makePayBack"))
            client.recv_makePayBack(answer);
        else
            client.recv_commitTransaction(answer);
        QFAIL("the reply was accepted");
    } catch (const TApplicationException &e) {
        QCOMPARE(int(e.getType()), applicationError);
        QCOMPARE(QString::fromUtf8(e.what()), error);
    } catch (const TTransportException &e) {
        QVERIFY2(applicationError == -1, e.what());
        QCOMPARE(e.getType(), TTransportException::END_OF_FILE);
    }
}

void WireFormatTest::roundTrips()
{
    const std::string cyrillic = "Начисление за покупку";
    Result result;
    result.__set_success(true);
    result.__set_sessionId("S-1");
    result.__set_description(cyrillic);
    result.__set_balance(INT64_MAX);
    result.__set_balanceInactive(INT64_MIN);
    QVERIFY(deserialise<Result>(serialise(result)) == result);

    AdditionalAssetInfo info;
    info.__set_dateFromCash(1700000000123);
    QVERIFY(deserialise<AdditionalAssetInfo>(serialise(info)) == info);

    AssetGroup group;
    group.__set_groupId("Весна");
    group.__set_beginDate(-1);
    group.__set_endDate(1800000000000);
    group.__set_weight(INT32_MIN);
    QVERIFY(deserialise<AssetGroup>(serialise(group)) == group);
}

void WireFormatTest::adminEdgeCases()
{
    // An empty list still carries its element type and a count of 0.
    Asset asset;
    const QByteArray bytes = serialise(asset);
    QVERIFY(bytes.contains(QByteArray::fromHex("0f0006 0c 00000000")));

    // A card without its status is ACTIVE.
    auto noStatus = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol writer(noStatus);
    writer.writeStructBegin("Card");
    stringField(writer, 1, "2000123");
    writer.writeFieldStop();
    writer.writeStructEnd();
    const Card card = deserialise<Card>(contents(*noStatus));
    QCOMPARE(card.status, CardStatus::ACTIVE);
    QVERIFY(!card.__isset.status);

    // getPageableAssetList sends the sort field as the i32 3 for TIME.
    auto out = std::make_shared<TMemoryBuffer>();
    AccountingAdminLogicServiceClient client(std::make_shared<TBinaryProtocol>(out));
    client.send_getPageableAssetList("t", "c", 1, 2, SortAssetsByField::TIME, false);
    QVERIFY(contents(*out).contains(QByteArray::fromHex("080005 00000003 020006 00")));

    // A status outside the table is accepted as that number. (Only 3 is: a
    // number beyond the enumeration's range cannot be held by its type.)
    const QByteArray statusReply
        = reply("getTerminalStatus", apache::thrift::protocol::T_REPLY, [](TBinaryProtocol &p) {
              p.writeStructBegin("result");
              i32Field(p, 0, 3);
              p.writeFieldStop();
              p.writeStructEnd();
          });
    AccountingAdminLogicServiceClient reader(
        std::make_shared<TBinaryProtocol>(bufferWith(statusReply)));
    QCOMPARE(int(reader.recv_getTerminalStatus()), 3);
}

QTEST_GUILESS_MAIN(WireFormatTest)
#include "tst_wireformat.moc"
