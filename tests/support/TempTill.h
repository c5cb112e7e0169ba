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

private:
    QTemporaryDir dir;
    QByteArray previousRoot;
    bool hadRoot;
};

#endif // TEMPTILL_H
