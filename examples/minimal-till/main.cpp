// A till as small as it gets: loads the bonus credit plug-in with
// QPluginLoader, as the till does, and asks a card's balance.
//
//   minimal-till CARD [PLUGIN]
//
// The plug-in reads its settings from the till's tree (TILLHOUSE_ROOT,
// /tillhouse by default). Exit status 0 when the answer is a success.

#include <AbstractPaymentProcessing.h>

#include <QCoreApplication>
#include <QPluginLoader>
#include <QTextStream>

#ifndef BONUS_PLUGIN
#define BONUS_PLUGIN ""
#endif

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        err << "usage: minimal-till CARD [PLUGIN]\n";
        return 2;
    }
    const QString plugin
        = arguments.size() == 3 ? arguments.at(2) : QString::fromUtf8(BONUS_PLUGIN);

    QPluginLoader loader(plugin);
    QObject *instance = loader.instance();
    if (!instance) {
        err << "cannot load " << plugin << ": " << loader.errorString() << '\n';
        return 1;
    }
    // The cast checks the interface id, "VeltaPaymentProcessing/1.0".
    auto *processing = qobject_cast<AbstractPaymentProcessing *>(instance);
    if (!processing) {
        err << plugin << " is not a payment-processing plug-in\n";
        return 1;
    }

    // Runs on this thread and never throws; the answer says how it went.
    const PaymentProcessingAnswer answer = processing->balance(arguments.at(1));
    out << (answer.isSuccess() ? "success" : "failure") << ' ' << answer.getCode() << ": "
        << answer.getMessage() << '\n';
    for (const QString &slip : answer.getPrintImages())
        out << slip;
    out.flush();
    return answer.isSuccess() ? 0 : 1;
}
