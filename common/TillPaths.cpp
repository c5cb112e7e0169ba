#include "TillPaths.h"

#include <QByteArray>
#include <QtGlobal>

namespace {
const char rootVariableName[] = "TILLHOUSE_ROOT";
const char defaultRoot[] = "/tillhouse";
} // namespace

const char *TillPaths::rootVariable()
{
    return rootVariableName;
}

QString TillPaths::root()
{
    QString path = qEnvironmentVariable(rootVariableName);
    if (path.isEmpty())
        path = QString::fromLatin1(defaultRoot);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString TillPaths::confDir()
{
    return root() + QStringLiteral("/cash/conf/");
}

QString TillPaths::settingsFile()
{
    return confDir() + QStringLiteral("bonus_credit.conf");
}

QString TillPaths::workDir()
{
    return root() + QStringLiteral("/cash/paysystems/bonuscredit/");
}

QString TillPaths::statusFileName()
{
    return QStringLiteral("status.txt");
}

QString TillPaths::printFileName()
{
    return QStringLiteral("print");
}

QString TillPaths::statusFile()
{
    return workDir() + statusFileName();
}

QString TillPaths::printFile()
{
    return workDir() + printFileName();
}

QString TillPaths::lockFile()
{
    return workDir() + QStringLiteral("bonus_credit.lock");
}

QString TillPaths::journalFile()
{
    return workDir() + QStringLiteral("bonus_credit_journal.sqlite");
}

QString TillPaths::checkImage()
{
    return root() + QStringLiteral("/cash/data/tmp/check.img");
}

QString TillPaths::logConfigFile()
{
    return confDir() + QStringLiteral("bonus_credit.log4cxx.properties");
}

QString TillPaths::defaultLogFile()
{
    return root() + QStringLiteral("/cash/log/bonus_credit.log");
}
