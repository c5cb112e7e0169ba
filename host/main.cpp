#include "HostCommand.h"
#include "PaymentHost.h"

#include <QCoreApplication>
#include <QTextCodec>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The till runs with UTF-8 as its 8-bit encoding; plug-ins rely on it.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    const HostCommand command = HostCommand::parse(app.arguments().mid(1), true);
    if (command.kind == HostCommand::Invalid) {
        fprintf(stderr, "payment-host: %s\n", command.error.toUtf8().constData());
        fprintf(stderr,
                "usage: payment-host [--plugin PATH] [--json] balance CARD\n"
                "       payment-host [--plugin PATH] [--json] sale|refund|cancel AMOUNT_KOPECKS "
                "CARD [--receipt N] [--cash-code C] [--cashier-code K] [--no-receipt]\n"
                "       payment-host [--plugin PATH] [--json] -\n");
        return PaymentHost::UsageError;
    }

    PaymentHost host;
    const QString path
        = command.pluginPath.isEmpty() ? PaymentHost::defaultPluginPath() : command.pluginPath;
    if (!host.load(path)) {
        fprintf(stderr, "payment-host: %s\n", host.loadError().toUtf8().constData());
        return PaymentHost::Failure;
    }

    if (command.kind == HostCommand::ReadStdin) {
        host.readCommands(command.json);
        return app.exec();
    }
    return host.execute(command);
}
