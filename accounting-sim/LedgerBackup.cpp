#include "LedgerBackup.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// A writer holding the ledger may make the copy wait; not for ever.
constexpr int busyWaitMs = 10000;

[[noreturn]] void fail(const QString &reason)
{
    throw std::runtime_error(reason.toStdString());
}

// Closes what it holds, whatever way the copy ends.
struct Handles
{
    sqlite3 *from = nullptr;
    sqlite3 *to = nullptr;
    QString temporary;
    bool keep = false;

    ~Handles()
    {
        sqlite3_close_v2(to);
        sqlite3_close_v2(from);
        if (!keep && !temporary.isEmpty())
            std::remove(temporary.toLocal8Bit().constData());
    }
};

QString error(sqlite3 *db)
{
    return QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
}

void syncPath(const QString &path, int flags)
{
    const int fd = ::open(path.toLocal8Bit().constData(), flags | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        fail(QStringLiteral("cannot sync %1: %2").arg(path, reason));
    }
    ::close(fd);
}

} // namespace

LedgerBackup::Made LedgerBackup::copy(const QString &ledger, const QString &target)
{
    const QFileInfo source(ledger);
    if (!source.isFile())
        fail(QStringLiteral("no ledger at %1").arg(ledger));
    const QFileInfo destination(target);
    if (destination.exists() && destination.canonicalFilePath() == source.canonicalFilePath())
        fail(QStringLiteral("the backup would overwrite the ledger itself"));

    Handles handles;
    // Read-write without create: the ledger must exist, and a reader of a
    // WAL database needs its shared-memory file, which it may have to make.
    if (sqlite3_open_v2(ledger.toUtf8().constData(), &handles.from, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("cannot open ledger %1: %2").arg(ledger, error(handles.from)));
    sqlite3_busy_timeout(handles.from, busyWaitMs);

    handles.temporary = destination.absoluteFilePath() + QStringLiteral(".partial");
    std::remove(handles.temporary.toLocal8Bit().constData());
    if (sqlite3_open_v2(handles.temporary.toUtf8().constData(), &handles.to,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("cannot create %1: %2").arg(handles.temporary, error(handles.to)));

    sqlite3_backup *backup = sqlite3_backup_init(handles.to, "main", handles.from, "main");
    if (!backup)
        fail(QStringLiteral("cannot start the backup: %1").arg(error(handles.to)));
    // Every page in one step: one read transaction, one moment of the
    // ledger. Copied page by page, a write by another process would start
    // the copy over.
    Made made;
    int result = SQLITE_OK;
    const QDeadlineTimer deadline(busyWaitMs);
    for (;;) {
        made.at = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        result = sqlite3_backup_step(backup, -1);
        if ((result != SQLITE_BUSY && result != SQLITE_LOCKED) || deadline.hasExpired())
            break;
        QThread::msleep(50); // the ledger's writer has it; SQLite gives no wake-up
    }
    made.pages = sqlite3_backup_pagecount(backup);
    const int finished = sqlite3_backup_finish(backup);
    if (result != SQLITE_DONE || finished != SQLITE_OK)
        fail(QStringLiteral("the backup failed: %1").arg(error(handles.to)));

    sqlite3_stmt *check = nullptr;
    QString verdict;
    if (sqlite3_prepare_v2(handles.to, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK
        && sqlite3_step(check) == SQLITE_ROW)
        verdict = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)));
    sqlite3_finalize(check);
    if (verdict != QLatin1String("ok"))
        fail(QStringLiteral("the copy does not check out: %1")
                 .arg(verdict.isEmpty() ? error(handles.to) : verdict));
    // The copy keeps the ledger's journal mode; a WAL copy is made whole
    // (checkpointed) as its last connection closes.
    sqlite3_close_v2(handles.to);
    handles.to = nullptr;

    syncPath(handles.temporary, O_RDONLY);
    if (std::rename(handles.temporary.toLocal8Bit().constData(),
                    destination.absoluteFilePath().toLocal8Bit().constData())
        != 0)
        fail(QStringLiteral("cannot rename %1 to %2: %3")
                 .arg(handles.temporary, target, QString::fromLocal8Bit(std::strerror(errno))));
    handles.keep = true;
    syncPath(destination.absolutePath(), O_RDONLY | O_DIRECTORY);
    made.bytes = QFileInfo(destination.absoluteFilePath()).size();
    return made;
}
