#include "TempTill.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QDirIterator>
#include <QFileInfo>
#include <QtTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

} // namespace

TempTill::TempTill()
    : hadRoot(qEnvironmentVariableIsSet("TILLHOUSE_ROOT"))
{
    make();
}

TempTill::TempTill(const QString &parent)
    : dir(parent + QStringLiteral("/till-XXXXXX"))
    , hadRoot(qEnvironmentVariableIsSet("TILLHOUSE_ROOT"))
{
    make();
}

void TempTill::make()
{
    previousRoot = qgetenv("TILLHOUSE_ROOT");
    // As on the till: UTF-8 is the process's 8-bit encoding.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
    QVERIFY2(dir.isValid(), "cannot make a temporary till tree");
    qputenv("TILLHOUSE_ROOT", dir.path().toUtf8());
    QDir d(dir.path());
    d.mkpath(QStringLiteral("cash/conf"));
    d.mkpath(QStringLiteral("cash/paysystems/bonuscredit"));
    d.mkpath(QStringLiteral("cash/data/tmp"));
}

TempTill::~TempTill()
{
    if (readOnly)
        setReadOnly(false);
    if (hadRoot)
        qputenv("TILLHOUSE_ROOT", previousRoot);
    else
        qunsetenv("TILLHOUSE_ROOT");
}

QString TempTill::root() const
{
    return dir.path();
}

QString TempTill::settingsPath() const
{
    return dir.path() + QStringLiteral("/cash/conf/bonus_credit.conf");
}

QString TempTill::statusPath() const
{
    return dir.path() + QStringLiteral("/cash/paysystems/bonuscredit/status.txt");
}

QString TempTill::printPath() const
{
    return dir.path() + QStringLiteral("/cash/paysystems/bonuscredit/print");
}

QString TempTill::checkImagePath() const
{
    return dir.path() + QStringLiteral("/cash/data/tmp/check.img");
}

void TempTill::writeSettings(const QJsonObject &settings) const
{
    writeSettingsRaw(QJsonDocument(settings).toJson());
}

void TempTill::writeSettingsRaw(const QByteArray &bytes) const
{
    writeFile(settingsPath(), bytes);
}

void TempTill::removeSettings() const
{
    QFile::remove(settingsPath());
}

void TempTill::writeCheckImage(const QJsonObject &image) const
{
    writeCheckImageRaw(QJsonDocument(image).toJson());
}

void TempTill::writeCheckImageRaw(const QByteArray &bytes) const
{
    writeFile(checkImagePath(), bytes);
}

void TempTill::removeCheckImage() const
{
    QFile::remove(checkImagePath());
}

static QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray TempTill::readStatus() const
{
    return readAll(statusPath());
}

QByteArray TempTill::readPrint() const
{
    return readAll(printPath());
}

bool TempTill::printExists() const
{
    return QFile::exists(printPath());
}

void TempTill::writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

bool TempTill::setReadOnly(bool on)
{
    QStringList paths {dir.path()};
    QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    bool done = true;
    for (const QString &path : paths) {
        if (::geteuid() == 0) {
            done = setImmutable(path, on) && done;
            continue;
        }
        QFile::Permissions write = QFile::WriteOwner | QFile::WriteUser;
        const QFile::Permissions now = QFile::permissions(path);
        done = QFile::setPermissions(path, on ? now & ~write : now | write) && done;
    }
    readOnly = on;
    return done;
}

QStringList TempTill::snapshot(const QString &path)
{
    QStringList entries;
    if (!QFileInfo::exists(path))
        return entries;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        // A directory's time follows its entries, which are listed.
        if (info.isDir()) {
            entries << info.filePath() + QLatin1Char('/');
            continue;
        }
        entries << QStringLiteral("%1 %2 %3")
                       .arg(info.filePath(), QString::number(info.size()),
                            QString::number(info.lastModified().toMSecsSinceEpoch()));
    }
    entries.sort();
    return entries;
}
