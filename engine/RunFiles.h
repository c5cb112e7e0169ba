#ifndef RUNFILES_H
#define RUNFILES_H

#include <QByteArray>
#include <QIODevice>
#include <QString>

/*!
    The status and print files of one run, and what the run meant them to
    hold, so that the reader of the files can tell this run's answer from a
    stale file. Each write replaces the whole file.

    Invariant: a kept descriptor belongs to the path it was opened for and
    to the current run; it is dropped after a failed write, when the path
    changes, and by close() at the end of the run. Keeping them open from
    the emptying to the answer spares two opens per run.
*/
class RunFiles
{
public:
    enum Status { Empty = -1, Success = 0, Failure = 255 };

    RunFiles() = default;
    RunFiles(const RunFiles &) = delete;
    RunFiles &operator=(const RunFiles &) = delete;
    ~RunFiles() { close(); }

    // Forgets what the last run wrote.
    void start();
    // Where the files go; a change closes the kept descriptors first.
    void setPaths(const QString &statusPath, const QString &printPath);
    QString statusPath() const { return statusOut.path; }
    QString printPath() const { return printOut.path; }

    enum class Unwritable { None, Status, Print };
    // Empties both files for a new run. A fresh till has no work directory
    // yet: the directories are made when a write needs them. Answers which
    // file would not take it; what this run wrote is then forgotten.
    Unwritable empty();
    // Each answers whether the file now holds the text. An Empty status
    // writes `description` as it is, any other the JSON status line.
    bool status(int code, const QString &description, const QString &cardNumber);
    bool print(const QString &text);
    // No slip for this run: the print file goes.
    void removePrint();
    // The files are whole and closed before anyone reads them back.
    void close();

    QByteArray writtenStatus() const { return lastStatus; }
    bool hasPrint() const { return printLeft; }
    QByteArray writtenPrint() const { return lastPrint; }
    // The fields of the last status text; false when it was not one.
    bool writtenStatusFields(int &code, QString &description, QString &cardNumber) const;

private:
    struct File
    {
        QString path;
        int fd = -1;
    };
    static bool write(File &file, const QByteArray &bytes);
    static void close(File &file);

    File statusOut;
    File printOut;
    QByteArray lastStatus;
    int lastCode = Empty;
    QString lastDescription;
    QString lastCardNumber;
    QByteArray lastPrint;
    bool printLeft = false;
};

// Writes `text` as UTF-8, whole or not at all; a file that cannot be opened
// is skipped without a word. Answers whether the file now holds the text.
bool writeInfo(const QString &path, const QString &text, QIODevice::OpenModeFlag mode);
bool writeBytes(const QString &path, const QByteArray &bytes);
// Opens `path` for writing in place, made when missing: a descriptor or -1.
int openForWriting(const QString &path);
// The same through a descriptor open for writing; it stays open.
bool writeBytesTo(int fd, const QByteArray &bytes);

#endif // RUNFILES_H
