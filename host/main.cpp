#include "BonusVersion.h"
#include "HostCommand.h"
#include "PaymentHost.h"

#include <QCoreApplication>
#include <QDir>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("payment-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BONUS_VERSION));
    // The till runs with UTF-8 as its 8-bit encoding; plug-ins rely on it.
    // Qt 6 takes local 8-bit text as UTF-8 always.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif

    // BONUS_PLUGIN_RELATIVE_PATH leads from this executable's directory to
    // the plug-in: to the build's plug-in for the build tree's payment-host,
    // to the installed one for the installed payment-host (host/CMakeLists.txt).
    PaymentHost host(QDir::cleanPath(QCoreApplication::applicationDirPath()
                                     + QStringLiteral("/" BONUS_PLUGIN_RELATIVE_PATH)));
    return host.run(HostCommand::parse(app.arguments().mid(1), HostCommand::CommandLine));
}
