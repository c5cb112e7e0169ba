#ifndef TEMPTILL_H
#define TEMPTILL_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

/*!
    A till tree in a temporary directory: TILLHOUSE_ROOT points at it while
    the object lives, with the settings, work and receipt directories made.
    Make it before the plug-in is loaded: the engine takes its paths when it
    is constructed.
*/
class TempTill
{
public:
    TempTill();
    // The tree in a directory made under `parent`, rather than under the
    // system's temporary directory (a benchmark keeps its journals on the
    // disk it measures).
    explicit TempTill(const QString &parent);
    ~TempTill();

    QString root() const;
    QString settingsPath() const;
    QString statusPath() const;
    QString printPath() const;
    QString checkImagePath() const;

    void writeSettings(const QJsonObject &settings) const;
    void writeSettingsRaw(const QByteArray &bytes) const;
    void removeSettings() const;

    void writeCheckImage(const QJsonObject &image) const;
    void writeCheckImageRaw(const QByteArray &bytes) const;
    void removeCheckImage() const;

    QByteArray readStatus() const;
    QByteArray readPrint() const;
    bool printExists() const;

    static void writeFile(const QString &path, const QByteArray &bytes);

    // Every directory and file of the tree read-only, for root too (the
    // file system's immutable flag; the mode bits for anyone else), or
    // writable again. False when the file system will not.
    bool setReadOnly(bool readOnly);
    // Every path under `path`, files with their size and time of change,
    // sorted: two
    // equal snapshots show that nothing was made, removed or written.
    static QStringList snapshot(const QString &path);

private:
    void make();

    QTemporaryDir dir;
    bool readOnly = false;
    QByteArray previousRoot;
    bool hadRoot;
};

#endif // TEMPTILL_H
