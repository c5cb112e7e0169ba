#include "RunFiles.h"

#include "JsonText.h"
#include "TillPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool writeInfo(const QString &path, const QString &text, QIODevice::OpenModeFlag mode)
{
    // Every caller replaces the whole file.
    Q_ASSERT(mode == QIODevice::WriteOnly);
    Q_UNUSED(mode)
    return writeBytes(path, text.toUtf8());
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    // Written in place, as the till's tools expect the file. Its content is
    // laid over the old and any longer old tail cut off after it, rather
    // than truncated first: truncating a file that holds data makes ext4
    // push it to the disk on close, and the file was emptied at the start of
    // the run anyway. Nobody depends on it being whole: the plug-in compares
    // what it reads back with what the run wrote, and the journal, not this
    // file, is what must outlive a power cut.
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.constData() + written, size_t(bytes.size() - written),
                                   off_t(written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    struct stat info
    {
    };
    bool whole = written == bytes.size() && ::fstat(fd, &info) == 0;
    if (whole && info.st_size > off_t(bytes.size()))
        whole = ::ftruncate(fd, off_t(bytes.size())) == 0;
    return ::close(fd) == 0 && whole;
}

void RunFiles::start()
{
    lastStatus.clear();
    lastCode = Empty;
    lastPrint.clear();
    printLeft = false;
}

void RunFiles::setPaths(const QString &statusPath, const QString &printPath)
{
    statusFile = statusPath;
    printFile = printPath;
}

RunFiles::Unwritable RunFiles::empty()
{
    const auto emptied = [this] { return status(Empty, QString(), QString()) && print(QString()); };
    if (emptied())
        return Unwritable::None;
    QDir().mkpath(TillPaths::workDir());
    QDir().mkpath(QFileInfo(statusFile).absolutePath());
    QDir().mkpath(QFileInfo(printFile).absolutePath());
    Unwritable failed = Unwritable::None;
    if (!status(Empty, QString(), QString()))
        failed = Unwritable::Status;
    else if (!print(QString()))
        failed = Unwritable::Print;
    if (failed != Unwritable::None)
        start();
    return failed;
}

bool RunFiles::status(int code, const QString &description, const QString &cardNumber)
{
    lastCode = code;
    if (code == Empty) {
        lastStatus = description.toUtf8();
        return writeBytes(statusFile, lastStatus);
    }
    // Escaped: a quote in a server text or a card number must not break the
    // JSON the plug-in reads back.
    QByteArray text = "{ \"status\" : " + QByteArray::number(code) + ", \"description\" : ";
    JsonText::appendQuoted(text, description);
    text += ", \"cardNumber\" : ";
    JsonText::appendQuoted(text, cardNumber);
    text += " }";
    lastStatus = text;
    lastDescription = description;
    lastCardNumber = cardNumber;
    return writeBytes(statusFile, text);
}

bool RunFiles::print(const QString &text)
{
    lastPrint = text.toUtf8();
    printLeft = true;
    return writeBytes(printFile, lastPrint);
}

void RunFiles::removePrint()
{
    QFile::remove(printFile);
    printLeft = false;
}

bool RunFiles::writtenStatusFields(int &code, QString &description, QString &cardNumber) const
{
    // The text carries every character back, a lone surrogate as an escape.
    if (lastCode == Empty)
        return false;
    code = lastCode;
    description = lastDescription;
    cardNumber = lastCardNumber;
    return true;
}
