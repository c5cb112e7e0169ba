#include "LogSetup.h"

#include "LogFileAppender.h"
#include "LogLineLayout.h"
#include "TillPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

#include <log4cxx/fileappender.h>
#include <log4cxx/helpers/fileinputstream.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/properties.h>
#include <log4cxx/helpers/writer.h>
#include <log4cxx/logger.h>
#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/writerappender.h>

namespace {

const char qtLoggerName[] = "Qt";

QtMessageHandler previousHandler = nullptr;
int handlerUsers = 0;

void forwardQtMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger(qtLoggerName);
    const std::wstring text = message.toStdWString();
    switch (type) {
    case QtDebugMsg:
        LOG4CXX_DEBUG(logger, text);
        break;
    case QtInfoMsg:
        LOG4CXX_INFO(logger, text);
        break;
    case QtWarningMsg:
    case QtCriticalMsg:
    case QtFatalMsg:
        LOG4CXX_ERROR(logger, text);
        break;
    }
}

// A host that set log4cxx up has given the root logger an appender.
bool hostConfigured()
{
    return !log4cxx::Logger::getRootLogger()->getAllAppenders().empty();
}

/*
    The configuration may name its files under ${TILLHOUSE_ROOT}, so one file
    serves a till under any root. log4cxx fills ${NAME} from the environment
    first, then from the properties read; a till that runs without the
    variable gets the root TillPaths uses, given among the properties.
*/
void configureFrom(const QString &path)
{
    log4cxx::helpers::Properties properties;
    properties.load(std::make_shared<log4cxx::helpers::FileInputStream>(
        log4cxx::File(path.toUtf8().toStdString())));
    const log4cxx::LogString root = TillPaths::rootVariable();
    if (properties.getProperty(root).empty())
        properties.setProperty(root, TillPaths::root().toUtf8().toStdString());
    log4cxx::PropertyConfigurator::configure(properties);
}

} // namespace

void LogSetup::ensureConfigured()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    if (hostConfigured())
        return;

    const QString properties = TillPaths::logConfigFile();
    if (QFile::exists(properties)) {
        configureFrom(properties);
        return;
    }

    auto root = log4cxx::Logger::getRootLogger();
    // No till tree here (a developer's machine, a first run): stay quiet
    // rather than make directories outside the tree or warn on stderr.
    if (!QFileInfo(TillPaths::root() + QStringLiteral("/cash")).isDir()) {
        root->setLevel(log4cxx::Level::getOff());
        return;
    }

    // Lines as "%d{yyyy-MM-dd HH:mm:ss.SSS} %-5p %c - %m%n" lays them out;
    // log4cxx keeps its texts as UTF-8 here.
    const log4cxx::LayoutPtr layout = std::make_shared<LogLineLayout>();
    auto appender = std::make_shared<LogFileAppender>();
    appender->setLayout(layout);
    appender->setFile(TillPaths::defaultLogFile().toUtf8().toStdString());
    appender->setAppend(true);
    appender->setEncoding(LOG4CXX_STR("UTF-8"));
    // A write per run rather than per line: the plug-in flushes at the end
    // of every operation and after every error line (flush()).
    appender->setBufferedIO(true);
    appender->setBufferSize(64 * 1024);
    appender->setImmediateFlush(false);
    log4cxx::helpers::Pool pool;
    appender->activateOptions(pool);
    root->addAppender(appender);
    root->setLevel(log4cxx::Level::getDebug());
}

void LogSetup::flush()
{
    log4cxx::helpers::Pool pool;
    for (const log4cxx::AppenderPtr &appender :
         log4cxx::Logger::getRootLogger()->getAllAppenders()) {
        const auto writerAppender = log4cxx::cast<log4cxx::WriterAppender>(appender);
        if (writerAppender && writerAppender->getWriter())
            writerAppender->getWriter()->flush(pool);
    }
}

void LogSetup::setHandleQtMessages(bool handle)
{
    if (handle) {
        if (handlerUsers++ == 0)
            previousHandler = qInstallMessageHandler(forwardQtMessage);
    } else if (handlerUsers > 0 && --handlerUsers == 0) {
        qInstallMessageHandler(previousHandler);
        previousHandler = nullptr;
    }
}
