#include "PaymentHost.h"

#include "TillPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

const char pluginFileName[] = "libProcessingBonusCredit.so";

void writeOut(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

void writeErr(const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    fflush(stderr);
}

// A JSON string with its quotes.
QString jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

} // namespace

PaymentHost::PaymentHost(QObject *parent)
    : QObject(parent)
{
}

QString PaymentHost::defaultPluginPath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        QStringLiteral(BONUS_BUILD_PLUGIN),
        appDir + QStringLiteral("/../plugin/") + QLatin1String(pluginFileName),
        appDir + QStringLiteral("/../lib/paymentprocessing/") + QLatin1String(pluginFileName),
        QStringLiteral(BONUS_INSTALL_PLUGIN),
    };
    for (const QString &candidate : candidates) {
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).absoluteFilePath();
    }
    return candidates.first();
}

bool PaymentHost::load(const QString &path)
{
    loader.setFileName(path);
    QObject *instance = loader.instance();
    if (!instance) {
        error = QStringLiteral("cannot load the plug-in %1: %2").arg(path, loader.errorString());
        return false;
    }
    plugin = qobject_cast<AbstractPaymentProcessing *>(instance);
    if (!plugin) {
        error = QStringLiteral("%1 is not a payment-processing plug-in (%2)")
                    .arg(path, QLatin1String(PaymentProcessingInterface_iid));
        return false;
    }
    return true;
}

QString PaymentHost::loadError() const
{
    return error;
}

void PaymentHost::writeReceipt(const HostCommand &command)
{
    const QString path = TillPaths::checkImage();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QJsonObject image;
    image.insert(QStringLiteral("num"), command.receiptNumber);
    image.insert(QStringLiteral("cashCode"), command.cashCode);
    image.insert(QStringLiteral("cashierCode"), command.cashierCode);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        writeErr(QStringLiteral("cannot write the receipt image %1").arg(path));
        return;
    }
    // Key order as the till writes it.
    file.write(QStringLiteral("{\"num\":%1,\"cashCode\":%2,\"cashierCode\":%3}")
                   .arg(QString::number(command.receiptNumber), jsonString(command.cashCode),
                        jsonString(command.cashierCode))
                   .toUtf8());
}

int PaymentHost::execute(const HostCommand &command)
{
    PaymentProcessingRequest request;
    request.amount = command.amount;
    request.cardNumber = command.cardNumber;

    PaymentProcessingAnswer answer;
    switch (command.kind) {
    case HostCommand::Balance:
        answer = plugin->balance(command.cardNumber);
        break;
    case HostCommand::Sale:
    case HostCommand::Refund:
    case HostCommand::Cancel:
        if (command.writeReceipt)
            writeReceipt(command);
        request.type = command.kind == HostCommand::Refund ? EPaymentProcessingRequest::Refund
                                                           : EPaymentProcessingRequest::Sale;
        answer = command.kind == HostCommand::Cancel ? plugin->cancel(request)
                                                     : plugin->payment(request);
        break;
    case HostCommand::Invalid:
    case HostCommand::ReadStdin:
        writeErr(command.error);
        return UsageError;
    }

    printAnswer(answer, command.json);
    return answer.isSuccess() ? Success : Failure;
}

void PaymentHost::printAnswer(const PaymentProcessingAnswer &answer, bool json)
{
    const QStringList images = answer.getPrintImages();
    if (json) {
        QStringList encoded;
        for (const QString &image : images)
            encoded << jsonString(image);
        writeOut(QStringLiteral("{\"success\":%1,\"code\":%2,\"message\":%3,\"cardNumber\":%4,"
                                "\"printImages\":[%5]}\n")
                     .arg(answer.isSuccess() ? QStringLiteral("true") : QStringLiteral("false"),
                          QString::number(answer.getCode()), jsonString(answer.getMessage()),
                          jsonString(answer.getCardNumber()), encoded.join(QLatin1Char(','))));
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

void PaymentHost::readCommands(bool json)
{
    defaultJson = json;
    notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &PaymentHost::readAvailable);
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
    HostCommand command = HostCommand::parse(QProcess::splitCommand(text), false);
    command.json = command.json || defaultJson;
    lastCode = execute(command);
}
