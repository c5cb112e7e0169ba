// Logging set-up: a host's own configuration is kept; otherwise the
// properties file of the till or the default log file; texts arrive as
// UTF-8 whatever the locale; Qt's own messages are forwarded.
//
// Configuration happens once per process, so each case runs in a child.

#include "LogCapture.h"
#include "LogLineLayout.h"
#include "LogSetup.h"
#include "Logger.h"
#include "TempTill.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <functional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/simplelayout.h>
#include <log4cxx/spi/loggingevent.h>

namespace {

const QString cyrillic = QStringLiteral("Проверка лимита прошла успешно: «ёж» 😀");

// Runs `body` in a child process; true when it exited normally with 0.
bool inChild(const std::function<void()> &body)
{
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        body();
        fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class LoggingTest : public QObject
{
    Q_OBJECT

private slots:
    void defaultLogFileInTheTillTree();
    void propertiesFileInTheSettingsDirectory();
    void hostConfigurationIsKept();
    void noTillTreeNoFiles();
    // Before any case that configures logging in this process.
    void failuresCountedNeverThrown_data();
    void failuresCountedNeverThrown();
    void utf8WhateverTheLocale();
    void qtMessagesAreForwarded();
    void lineLayoutAsThePattern_data();
    void lineLayoutAsThePattern();
};

void LoggingTest::defaultLogFileInTheTillTree()
{
    TempTill till;
    QVERIFY(inChild([] {
        setlocale(LC_ALL, "C");
        Logger("payment").info(cyrillic);
        Logger("veltabonus").debug(QStringLiteral("debug line"));
        // Lines are held back until the end of a run, but an error goes
        // out at once, with everything before it: the child ends with no
        // flush of its own.
        Logger("payment").error(QStringLiteral("error line"));
    }));
    const QByteArray log = readFile(till.root() + QStringLiteral("/cash/log/bonus_credit.log"));
    QVERIFY2(log.contains("INFO  payment - " + cyrillic.toUtf8()), log.constData());
    QVERIFY(log.contains("DEBUG veltabonus - debug line"));
    QVERIFY(log.contains("ERROR payment - error line"));
    // It holds card numbers: not for everyone's eyes.
    QCOMPARE(QFile::permissions(till.root() + QStringLiteral("/cash/log/bonus_credit.log"))
                 & (QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());
}

void LoggingTest::propertiesFileInTheSettingsDirectory()
{
    TempTill till;
    const QString target = till.root() + QStringLiteral("/custom.log");
    TempTill::writeFile(till.root() + QStringLiteral("/cash/conf/bonus_credit.log4cxx.properties"),
                        "log4j.rootLogger=INFO, F\n"
                        "log4j.appender.F=org.apache.log4j.FileAppender\n"
                        "log4j.appender.F.File="
                            + target.toUtf8()
                            + "\n"
                              "log4j.appender.F.Encoding=UTF-8\n"
                              "log4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
                              "log4j.appender.F.layout.ConversionPattern=[%c] %m%n\n");
    QVERIFY(inChild([] {
        Logger("thrifttransportprovider").info(cyrillic);
        Logger("payment").debug(QStringLiteral("below the configured level"));
    }));
    QCOMPARE(readFile(target), "[thrifttransportprovider] " + cyrillic.toUtf8() + "\n");
    QVERIFY(!QFile::exists(till.root() + QStringLiteral("/cash/log/bonus_credit.log")));
}

void LoggingTest::hostConfigurationIsKept()
{
    TempTill till;
    const QString logFile = till.root() + QStringLiteral("/cash/log/bonus_credit.log");
    QVERIFY(inChild([] {
        // The host set log4cxx up before the plug-in came.
        LogCapture capture;
        Logger("payment").info(QStringLiteral("to the host's appender"));
        if (capture.messages(QStringLiteral("payment"))
            != QStringList {QStringLiteral("to the host's appender")})
            _exit(3);
    }));
    QVERIFY(!QFile::exists(logFile));
}

void LoggingTest::noTillTreeNoFiles()
{
    TempTill till;
    QDir(till.root() + QStringLiteral("/cash")).removeRecursively();
    QVERIFY(inChild([] { Logger("payment").error(QStringLiteral("nowhere to go")); }));
    QVERIFY(QDir(till.root()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

void LoggingTest::utf8WhateverTheLocale()
{
    LogCapture capture;
    const char *previous = setlocale(LC_ALL, nullptr);
    const QByteArray saved(previous ? previous : "C");
    setlocale(LC_ALL, "C");
    Logger("payment").info(cyrillic);
    setlocale(LC_ALL, saved.constData());
    QCOMPARE(capture.messages(QStringLiteral("payment"), QStringLiteral("INFO")),
             QStringList {cyrillic});
}

void LoggingTest::qtMessagesAreForwarded()
{
    LogCapture capture;
    LogSetup::setHandleQtMessages(true);
    qWarning("QSqlDatabase: предупреждение");
    qDebug("отладка");
    LogSetup::setHandleQtMessages(false);
    qWarning("not forwarded any more");
    QCOMPARE(capture.messages(QStringLiteral("Qt"), QStringLiteral("ERROR")),
             QStringList {QStringLiteral("QSqlDatabase: предупреждение")});
    QCOMPARE(capture.messages(QStringLiteral("Qt"), QStringLiteral("DEBUG")),
             QStringList {QStringLiteral("отладка")});
}

void LoggingTest::failuresCountedNeverThrown_data()
{
    // How the default log file is broken before the first line.
    QTest::addColumn<QString>("broken");
    QTest::addColumn<bool>("counted");
    QTest::newRow("a directory where the file goes") << "directory" << true;
    QTest::newRow("a full disk") << "full disk" << true;
    QTest::newRow("its directory removed after the start") << "removed" << false;
}

// A log that cannot take a line must not end the operation being logged:
// the line is lost, counted, and nothing leaves the logger.
void LoggingTest::failuresCountedNeverThrown()
{
    QFETCH(QString, broken);
    QFETCH(bool, counted);
    TempTill till;
    const QString logDir = till.root() + QStringLiteral("/cash/log");
    QVERIFY(QDir().mkpath(logDir));
    bool mounted = false;
    if (broken == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(logDir + QStringLiteral("/bonus_credit.log")));
    if (broken == QLatin1String("full disk")) {
        mounted
            = ::mount("tmpfs", QFile::encodeName(logDir).constData(), "tmpfs", 0, "size=64k") == 0;
        if (!mounted)
            QSKIP(qPrintable(QStringLiteral("no tmpfs to fill: ")
                             + QString::fromLocal8Bit(strerror(errno))));
        QFile filler(logDir + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'x')) == 4096 && filler.flush()) { }
    }
    const bool exited = inChild([&] {
        Logger logger("payment");
        if (broken == QLatin1String("removed"))
            QDir(logDir).removeRecursively();
        // More than the appender's buffer holds, and an error line that is
        // written at once.
        for (int i = 0; i < 2000; ++i)
            logger.info(cyrillic);
        logger.error(QStringLiteral("error line"));
        LogSetup::flush();
        if ((LogSetup::failures() > 0) != counted || (counted && LogSetup::lastFailure().isEmpty()))
            _exit(3);
    });
    if (mounted)
        ::umount2(QFile::encodeName(logDir).constData(), MNT_DETACH);
    QVERIFY(exited);
}

void LoggingTest::lineLayoutAsThePattern_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("logger");
    QTest::addColumn<QString>("message");
    QTest::newRow("info") << "INFO"
                          << "payment" << cyrillic;
    QTest::newRow("debug") << "DEBUG"
                           << "veltabonus" << QStringLiteral("Чтение файла '/x'");
    QTest::newRow("error, empty") << "ERROR"
                                  << "thrifttransportprovider" << QString();
    QTest::newRow("warn, lines of a slip") << "WARN"
                                           << "Qt" << QStringLiteral("a\n  b\n\n");
}

// The default file's lines stay as log4cxx's pattern layout writes them, over
// many milliseconds and a second boundary or two.
void LoggingTest::lineLayoutAsThePattern()
{
    QFETCH(QString, level);
    QFETCH(QString, logger);
    QFETCH(QString, message);
    log4cxx::PatternLayout pattern(LOG4CXX_STR("%d{yyyy-MM-dd HH:mm:ss.SSS} %-5p %c - %m%n"));
    LogLineLayout lines;
    log4cxx::helpers::Pool pool;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1200) {
        const auto event = std::make_shared<log4cxx::spi::LoggingEvent>(
            logger.toStdString(), log4cxx::Level::toLevel(level.toStdString()),
            message.toStdString(), log4cxx::spi::LocationInfo::getLocationUnavailable());
        log4cxx::LogString expected, got;
        pattern.format(expected, event, pool);
        lines.format(got, event, pool);
        QCOMPARE(QString::fromStdString(got), QString::fromStdString(expected));
        QTest::qSleep(7);
    }
}

QTEST_GUILESS_MAIN(LoggingTest)
#include "tst_logging.moc"
