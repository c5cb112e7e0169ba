#include "LogSetup.h"

#include "LogErrorCounter.h"
#include "LogFileAppender.h"
#include "LogLineLayout.h"
#include "TillPaths.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QtGlobal>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/fileappender.h>
#include <log4cxx/helpers/fileinputstream.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/helpers/properties.h>
#include <log4cxx/helpers/writer.h>
#include <log4cxx/logger.h>
#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/writerappender.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char qtLoggerName[] = "Qt";

QtMessageHandler previousHandler = nullptr;
int handlerUsers = 0;

QAtomicInteger<int> failureCount;
QMutex failureMutex;
QString lastFailureText;

void forwardQtMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger(qtLoggerName);
    const std::wstring text = message.toStdWString();
    // An exception must not leave a message handler: Qt calls it from
    // anywhere, destructors included.
    try {
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
    } catch (const std::exception &e) {
        LogSetup::noteFailure(QString::fromLocal8Bit(e.what()));
    }
}

// The log holds card numbers: its owner writes it, the till's group reads
// it, nobody else. A file made before by a laxer hand is brought to that.
void prepareLogFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        return; // the appender fails to open it too, and says why
    struct stat info
    {
    };
    if (::fstat(fd, &info) == 0 && (info.st_mode & 0777 & ~0640) != 0)
        ::fchmod(fd, info.st_mode & 0640);
    ::close(fd);
}

// Counted rather than printed on the till's standard error.
void countErrors(const log4cxx::LoggerPtr &logger)
{
    for (const log4cxx::AppenderPtr &appender : logger->getAllAppenders()) {
        if (const auto skeleton = log4cxx::cast<log4cxx::AppenderSkeleton>(appender))
            skeleton->setErrorHandler(std::make_shared<LogErrorCounter>());
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
        try {
            configureFrom(properties);
            countErrors(log4cxx::Logger::getRootLogger());
        } catch (const std::exception &e) {
            noteFailure(QString::fromLocal8Bit(e.what()));
        }
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
    appender->setErrorHandler(std::make_shared<LogErrorCounter>());
    appender->setLayout(layout);
    prepareLogFile(TillPaths::defaultLogFile());
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
        if (!writerAppender || !writerAppender->getWriter())
            continue;
        try {
            writerAppender->getWriter()->flush(pool);
        } catch (const std::exception &e) {
            // The buffer keeps what it holds, up to its size, for the next flush.
            noteFailure(QString::fromLocal8Bit(e.what()));
        }
    }
}

QStringList LogSetup::files()
{
    QStringList paths;
    const auto root = log4cxx::Logger::getRootLogger();
    if (root->getLevel() && root->getLevel()->toInt() == log4cxx::Level::OFF_INT)
        return paths;
    for (const log4cxx::AppenderPtr &appender : root->getAllAppenders()) {
        if (const auto file = log4cxx::cast<log4cxx::FileAppender>(appender))
            paths << QString::fromStdString(file->getFile());
    }
    return paths;
}

bool LogSetup::writesElsewhere()
{
    const auto root = log4cxx::Logger::getRootLogger();
    if (root->getLevel() && root->getLevel()->toInt() == log4cxx::Level::OFF_INT)
        return false;
    for (const log4cxx::AppenderPtr &appender : root->getAllAppenders()) {
        if (!log4cxx::cast<log4cxx::FileAppender>(appender))
            return true;
    }
    return false;
}

void LogSetup::noteFailure(const QString &reason)
{
    failureCount.fetchAndAddRelaxed(1);
    const QMutexLocker locker(&failureMutex);
    lastFailureText = reason;
}

int LogSetup::failures()
{
    return failureCount.loadRelaxed();
}

QString LogSetup::lastFailure()
{
    const QMutexLocker locker(&failureMutex);
    return lastFailureText;
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
