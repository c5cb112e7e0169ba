#include "PaymentHost.h"

#include "BonusVersion.h"
#include "CardNumberMask.h"
#include "JsonText.h"
#include "ReceiptImage.h"
#include "TillPaths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

void writeOut(const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

void writeOut(const QString &text)
{
    writeOut(text.toUtf8());
}

void writeErr(const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    fflush(stderr);
}

void writeJsonLine(const QJsonObject &object)
{
    writeOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact))
             + QLatin1Char('\n'));
}

// A journal time as the operator reads it: local, to the second.
QString localTime(const QJsonValue &value)
{
    const QDateTime moment = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return moment.isValid() ? moment.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                            : QString();
}

QString operationWord(int operation)
{
    switch (operation) {
    case 1:
        return QStringLiteral("sale");
    case 2:
        return QStringLiteral("refund");
    case 3:
        return QStringLiteral("cancel");
    default:
        return QStringLiteral("operation %1").arg(operation);
    }
}

// Where a record stands, in words: from its outcome once settled, from its
// state while it is not.
QString stateWords(const QJsonObject &record, bool settled)
{
    static const QHash<QString, QString> outcomes {
        {QStringLiteral("committed"), QStringLiteral("settled: committed")},
        {QStringLiteral("refused"), QStringLiteral("settled: refused by the server")},
        {QStringLiteral("notSent"), QStringLiteral("settled: never sent")},
        {QStringLiteral("rolledBack"), QStringLiteral("settled: reversed")},
        {QStringLiteral("rollbackRefused"),
         QStringLiteral("settled: the server holds nothing of it")},
        {QStringLiteral("forgotten"), QStringLiteral("settled: closed by hand")},
    };
    static const QHash<QString, QString> states {
        {QStringLiteral("sent"), QStringLiteral("to reverse: sent, no answer")},
        {QStringLiteral("accepted"), QStringLiteral("to reverse: accepted, not committed")},
        {QStringLiteral("reversing"), QStringLiteral("being reversed")},
        {QStringLiteral("attention"), QStringLiteral("needs a person")},
    };
    const QString outcome = record.value(QStringLiteral("outcome")).toString();
    const QString state = record.value(QStringLiteral("state")).toString();
    if (settled || state == QLatin1String("settled"))
        return outcomes.value(outcome, QStringLiteral("settled: ") + outcome);
    return states.value(state, state);
}

// One line of recover's human output, one record in words: record id,
// time, operation, amount, card, where it stands, attempts, last error and
// the next try.
QString recordLine(const QJsonObject &record, bool settled, bool fullCardNumbers)
{
    const qint64 id = record.value(QStringLiteral("id")).toVariant().toLongLong();
    const qint64 kopecks = record.value(QStringLiteral("amount")).toVariant().toLongLong();
    const QString card = record.value(QStringLiteral("card")).toString();
    const int attempts = record.value(QStringLiteral("attempts")).toInt();
    const QString state = record.value(QStringLiteral("state")).toString();
    QString line
        = QStringLiteral("#%1 %2 %3 %4.%5 roubles, card %6: %7")
              .arg(QString::number(id), localTime(record.value(QStringLiteral("createdAt"))),
                   operationWord(record.value(QStringLiteral("operation")).toInt()),
                   QString::number(kopecks / 100),
                   QStringLiteral("%1").arg(qAbs(kopecks % 100), 2, 10, QLatin1Char('0')),
                   fullCardNumbers ? card : CardNumberMask::masked(card),
                   stateWords(record, settled));
    line += attempts == 1 ? QStringLiteral(", 1 attempt")
                          : QStringLiteral(", %1 attempts").arg(attempts);
    const QString lastError = record.value(QStringLiteral("lastError")).toString();
    if (!lastError.isEmpty())
        line += QStringLiteral(", last error \"%1\"").arg(lastError);
    if (!settled && state == QLatin1String("attention")) {
        line += QStringLiteral(", no next try (payment-host recover --forget %1)").arg(id);
    } else if (!settled) {
        const QString next = localTime(record.value(QStringLiteral("nextAt")));
        line += next.isEmpty() ? QStringLiteral(", next try with the next operation")
                               : QStringLiteral(", next try %1").arg(next);
    }
    return line + QLatin1Char('\n');
}

// recover's answer with the card numbers masked, for --json without --full.
QJsonObject maskedRecords(QJsonObject answer)
{
    const auto mask = [](QJsonObject record) {
        record.insert(QStringLiteral("card"),
                      CardNumberMask::masked(record.value(QStringLiteral("card")).toString()));
        return record;
    };
    for (const QString &key : {QStringLiteral("settled"), QStringLiteral("unsettled")}) {
        QJsonArray records;
        for (const QJsonValue &record : answer.value(key).toArray())
            records.append(mask(record.toObject()));
        answer.insert(key, records);
    }
    if (answer.contains(QStringLiteral("forgotten")))
        answer.insert(QStringLiteral("forgotten"),
                      mask(answer.value(QStringLiteral("forgotten")).toObject()));
    return answer;
}

} // namespace

PaymentHost::PaymentHost(const QString &defaultPlugin, QObject *parent)
    : QObject(parent)
    , defaultPlugin(defaultPlugin)
{
}

int PaymentHost::run(const HostCommand &command)
{
    switch (command.kind) {
    case HostCommand::Help:
        writeOut(HostCommand::helpText(defaultPlugin));
        return Success;
    case HostCommand::Version:
        printVersion(command.pluginPath.isEmpty() ? defaultPlugin : command.pluginPath,
                     command.json);
        return Success;
    case HostCommand::Invalid:
        if (command.json)
            return fail(UsageError, command.error, true);
        writeErr(QStringLiteral("payment-host: %1\nTry 'payment-host --help' for more.")
                     .arg(command.error));
        return UsageError;
    default:
        break;
    }

    const bool loaded = load(command.pluginPath.isEmpty() ? defaultPlugin : command.pluginPath);
    if (command.kind != HostCommand::ReadStdin)
        return loaded ? execute(command) : fail(Failure, loadError, command.json);

    // Every line gets its answer, so a plug-in that cannot be loaded is
    // reported once per command rather than once for all of them.
    defaultJson = command.json;
    notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &PaymentHost::readAvailable);
    return QCoreApplication::exec();
}

bool PaymentHost::load(const QString &path)
{
    loader.setFileName(path);
    instance = loader.instance();
    if (!instance) {
        loadError
            = QStringLiteral("cannot load the plug-in %1: %2").arg(path, loader.errorString());
        return false;
    }
    plugin = qobject_cast<AbstractPaymentProcessing *>(instance);
    if (!plugin) {
        loadError = QStringLiteral("%1 is not a payment-processing plug-in (%2)")
                        .arg(path, QLatin1String(PaymentProcessingInterface_iid));
        return false;
    }
    return true;
}

int PaymentHost::fail(int code, const QString &reason, bool json)
{
    if (json)
        writeJsonLine(QJsonObject {{QStringLiteral("error"), reason}});
    else
        writeErr(QStringLiteral("payment-host: ") + reason);
    return code;
}

void PaymentHost::printVersion(const QString &pluginPath, bool json)
{
    // Read from the library's metadata, without loading it: says which
    // plug-in this payment-host would use, even where it cannot load.
    QPluginLoader probe(pluginPath);
    const QJsonObject metaData = probe.metaData();
    const QString pluginVersion = metaData.value(QStringLiteral("MetaData"))
                                      .toObject()
                                      .value(QStringLiteral("version"))
                                      .toString();
    const QString path = QFileInfo(pluginPath).absoluteFilePath();
    if (json) {
        QJsonObject version {{QStringLiteral("version"), QStringLiteral(BONUS_VERSION)},
                             {QStringLiteral("plugin"), path}};
        if (metaData.isEmpty())
            version.insert(QStringLiteral("pluginError"), probe.errorString());
        else
            version.insert(QStringLiteral("pluginVersion"), pluginVersion);
        writeJsonLine(version);
        return;
    }
    QString text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                 QStringLiteral(BONUS_VERSION));
    if (metaData.isEmpty())
        text += QStringLiteral("plug-in %1: %2\n").arg(path, probe.errorString());
    else
        text += QStringLiteral("plug-in %1 %2\n").arg(path, pluginVersion);
    writeOut(text);
}

void PaymentHost::writeReceipt(const HostCommand &command)
{
    const QString path = TillPaths::checkImage();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written beside and renamed over: another host on the same till tree
    // may be reading the image for its own operation at this moment, and
    // must find a whole one.
    const QString temporary
        = QStringLiteral("%1.%2.tmp").arg(path).arg(QCoreApplication::applicationPid());
    QFile file(temporary);
    const QByteArray image
        = ReceiptImage::toBytes(command.receiptNumber, command.cashCode, command.cashierCode);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size()
        || !file.flush()
        || ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData())
            != 0) {
        file.remove();
        writeErr(QStringLiteral("cannot write the receipt image %1").arg(path));
    }
}

int PaymentHost::execute(const HostCommand &command)
{
    switch (command.kind) {
    case HostCommand::Balance:
    case HostCommand::Sale:
    case HostCommand::Refund:
    case HostCommand::Cancel:
        return executePayment(command);
    case HostCommand::Recover:
    case HostCommand::Check:
        return executeReport(command);
    case HostCommand::Invalid:
        return fail(UsageError, command.error, command.json);
    case HostCommand::Help:
    case HostCommand::Version:
    case HostCommand::ReadStdin:
        break;
    }
    // The parser refuses these on an input line.
    return fail(UsageError, QStringLiteral("not accepted here"), command.json);
}

int PaymentHost::executePayment(const HostCommand &command)
{
    PaymentProcessingAnswer answer;
    if (command.kind == HostCommand::Balance) {
        answer = plugin->balance(command.cardNumber);
    } else {
        if (command.writeReceipt)
            writeReceipt(command);
        PaymentProcessingRequest request;
        request.amount = command.amount;
        request.cardNumber = command.cardNumber;
        request.type = command.kind == HostCommand::Refund ? EPaymentProcessingRequest::Refund
                                                           : EPaymentProcessingRequest::Sale;
        answer = command.kind == HostCommand::Cancel ? plugin->cancel(request)
                                                     : plugin->payment(request);
    }
    printAnswer(answer, command.json);
    return answer.isSuccess() ? Success : Failure;
}

int PaymentHost::executeReport(const HostCommand &command)
{
    const bool recover = command.kind == HostCommand::Recover;
    const QString name = recover ? QStringLiteral("recover") : QStringLiteral("check");
    const QByteArray signature = !recover ? "check(QString,bool)"
        : command.forgetId > 0            ? "forget(qlonglong)"
        : command.resetJournal            ? "resetJournal()"
                                          : "recover()";

    // Asked first, so an older plug-in gets a clear answer instead of
    // QMetaObject's warning.
    const QMetaObject *meta = instance->metaObject();
    const int index = meta->indexOfMethod(signature.constData());
    if (index < 0 || meta->method(index).returnType() != QMetaType::QByteArray)
        return fail(Failure,
                    QStringLiteral("the plug-in %1 has no %2: it is older than this "
                                   "payment-host")
                        .arg(loader.fileName(), QString::fromLatin1(signature)),
                    command.json);

    QByteArray answer;
    const QByteArray method = signature.left(signature.indexOf('('));
    bool invoked = false;
    if (!recover)
        invoked = QMetaObject::invokeMethod(
            instance, method.constData(), Qt::DirectConnection, Q_RETURN_ARG(QByteArray, answer),
            Q_ARG(QString, command.cardNumber), Q_ARG(bool, command.fullCardNumbers));
    else if (command.forgetId > 0)
        invoked = QMetaObject::invokeMethod(instance, method.constData(), Qt::DirectConnection,
                                            Q_RETURN_ARG(QByteArray, answer),
                                            Q_ARG(qlonglong, command.forgetId));
    else
        invoked = QMetaObject::invokeMethod(instance, method.constData(), Qt::DirectConnection,
                                            Q_RETURN_ARG(QByteArray, answer));
    if (!invoked)
        return fail(Failure, QStringLiteral("cannot call the plug-in's %1").arg(name),
                    command.json);

    QJsonParseError parseError;
    const QJsonObject object = QJsonDocument::fromJson(answer, &parseError).object();
    const QStringList arrays = recover
        ? QStringList {QStringLiteral("settled"), QStringLiteral("unsettled")}
        : QStringList {QStringLiteral("rows")};
    bool shaped = parseError.error == QJsonParseError::NoError
        && (recover || object.value(QStringLiteral("ok")).isBool());
    for (const QString &key : arrays)
        shaped = shaped && object.value(key).isArray();
    if (!shaped)
        return fail(Failure,
                    QStringLiteral("the plug-in's answer to %1 is not what was expected: %2")
                        .arg(name, QString::fromUtf8(answer.left(200))),
                    command.json);

    bool ok = true;
    QString text;
    if (recover) {
        const QJsonArray settled = object.value(QStringLiteral("settled")).toArray();
        const QJsonArray unsettled = object.value(QStringLiteral("unsettled")).toArray();
        const QString error = object.value(QStringLiteral("error")).toString();
        // A journal that cannot be read has not been settled, whatever it
        // shows: the error is a failure too.
        ok = unsettled.isEmpty() && error.isEmpty();
        if (!error.isEmpty())
            text += QStringLiteral("error: %1\n").arg(error);
        if (object.contains(QStringLiteral("movedTo")))
            text += QStringLiteral("journal moved aside: %1\n")
                        .arg(object.value(QStringLiteral("movedTo")).toString());
        const bool full = command.fullCardNumbers;
        if (object.contains(QStringLiteral("forgotten")))
            text += recordLine(object.value(QStringLiteral("forgotten")).toObject(), true, full);
        for (const QJsonValue &record : settled)
            text += recordLine(record.toObject(), true, full);
        for (const QJsonValue &record : unsettled)
            text += recordLine(record.toObject(), false, full);
        if (text.isEmpty())
            text = QStringLiteral("nothing left to settle\n");
    } else {
        ok = object.value(QStringLiteral("ok")).toBool();
        for (const QJsonValue &value : object.value(QStringLiteral("rows")).toArray()) {
            const QJsonObject row = value.toObject();
            const bool rowOk = row.value(QStringLiteral("ok")).toBool();
            ok = ok && rowOk;
            const bool warning = row.value(QStringLiteral("state")) == QLatin1String("warn");
            text += QStringLiteral("%1 %2: %3\n")
                        .arg(!rowOk        ? QStringLiteral("FAIL")
                                 : warning ? QStringLiteral("warn")
                                           : QStringLiteral("ok  "),
                             row.value(QStringLiteral("name")).toString(),
                             row.value(QStringLiteral("reason")).toString());
        }
    }
    if (command.json)
        writeJsonLine(recover && !command.fullCardNumbers ? maskedRecords(object) : object);
    else
        writeOut(text);
    return ok ? Success : Failure;
}

void PaymentHost::printAnswer(const PaymentProcessingAnswer &answer, bool json)
{
    const QStringList images = answer.getPrintImages();
    if (json) {
        QByteArray line = answer.isSuccess() ? "{\"success\":true" : "{\"success\":false";
        line += ",\"code\":" + QByteArray::number(answer.getCode()) + ",\"message\":";
        JsonText::appendQuoted(line, answer.getMessage());
        line += ",\"cardNumber\":";
        JsonText::appendQuoted(line, answer.getCardNumber());
        line += ",\"printImages\":[";
        for (int i = 0; i < images.size(); ++i) {
            if (i > 0)
                line += ',';
            JsonText::appendQuoted(line, images.at(i));
        }
        line += "]}\n";
        writeOut(line);
        return;
    }

    QString text
        = QStringLiteral("success: %1\ncode: %2\nmessage: %3\ncard: %4\n")
              .arg(answer.isSuccess() ? QStringLiteral("yes") : QStringLiteral("no"),
                   QString::number(answer.getCode()), answer.getMessage(), answer.getCardNumber());
    for (int i = 0; i < images.size(); ++i) {
        text += QStringLiteral("--- print image %1 of %2 ---\n")
                    .arg(QString::number(i + 1), QString::number(images.size()));
        text += images.at(i);
        if (!images.at(i).endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
    }
    writeOut(text);
}

void PaymentHost::readAvailable()
{
    char buffer[4096];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got > 0) {
        pending.append(buffer, int(got));
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            executeLine(line);
        }
        return;
    }
    // End of input (or an error reading it): finish the last line, stop.
    notifier->setEnabled(false);
    if (!pending.isEmpty()) {
        executeLine(pending);
        pending.clear();
    }
    QCoreApplication::exit(lastCode);
}

void PaymentHost::executeLine(const QByteArray &line)
{
    const QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
        return;
    HostCommand command = HostCommand::parseLine(text);
    command.json = command.json || defaultJson;
    if (command.kind != HostCommand::Invalid && !plugin)
        lastCode = fail(Failure, loadError, command.json);
    else
        lastCode = execute(command);
}
