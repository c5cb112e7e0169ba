#include "FuzzProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {
// Reachable from here until exit, so never counted as leaked.
QCoreApplication *application = nullptr;
QTemporaryDir *temporary = nullptr;

void finish()
{
    delete temporary;
    temporary = nullptr;
}
} // namespace

void FuzzProcess::start(int *argc, char ***argv)
{
    if (application)
        return;
    application = new QCoreApplication(*argc, *argv);
    // Under TMPDIR, which scripts/fuzz points into its own working directory.
    temporary = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/till-XXXXXX"));
    if (!temporary->isValid())
        qFatal("cannot make a temporary till root: %s", qPrintable(temporary->errorString()));
    qputenv("TILLHOUSE_ROOT", QFile::encodeName(temporary->path()));
    std::atexit(finish);
}

QString FuzzProcess::root()
{
    return temporary ? temporary->path() : QString();
}
