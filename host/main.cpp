#include "BonusVersion.h"
#include "HostCommand.h"
#include "PaymentHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextCodec>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("payment-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BONUS_VERSION));
    // The till runs with UTF-8 as its 8-bit encoding; plug-ins rely on it.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    // BONUS_PLUGIN_RELATIVE_PATH leads from this executable's directory to
    // the plug-in: to the build's plug-in for the build tree's payment-host,
    // to the installed one for the installed payment-host (host/CMakeLists.txt).
    PaymentHost host(QDir::cleanPath(QCoreApplication::applicationDirPath()
                                     + QStringLiteral("/" BONUS_PLUGIN_RELATIVE_PATH)));
    return host.run(HostCommand::parse(app.arguments().mid(1), HostCommand::CommandLine));
}
