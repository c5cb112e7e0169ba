#ifndef RUNFILES_H
#define RUNFILES_H

#include <QByteArray>
#include <QIODevice>
#include <QString>

/*!
    The status and print files of one run, and what the run meant them to
    hold, so that the reader of the files can tell this run's answer from a
    stale file. Each write replaces the whole file, and leaves it closed.
*/
class RunFiles
{
public:
    enum Status { Empty = -1, Success = 0, Failure = 255 };

    // Forgets what the last run wrote.
    void start();
    // Where the files go.
    void setPaths(const QString &statusPath, const QString &printPath);
    QString statusPath() const { return statusFile; }
    QString printPath() const { return printFile; }

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

    QByteArray writtenStatus() const { return lastStatus; }
    bool hasPrint() const { return printLeft; }
    QByteArray writtenPrint() const { return lastPrint; }
    // The fields of the last status text; false when it was not one.
    bool writtenStatusFields(int &code, QString &description, QString &cardNumber) const;

private:
    QString statusFile;
    QString printFile;
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

#endif // RUNFILES_H
