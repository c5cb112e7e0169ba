#ifndef BONUSSETTINGS_H
#define BONUSSETTINGS_H

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

/*!
    The plug-in's settings file, read and checked in one go. Every value is
    checked, because one the slip, the files or the socket cannot use must
    stop an operation before any money moves: a text key takes a JSON
    string, a number key a JSON integer, or a string holding one, within the
    key's range; null counts as missing. So are the list of servers and the
    TLS files. Each value that breaks a rule is one line of problems(). A
    file over Limits::maxSettingsBytes is refused unread.
*/
class BonusSettings
{
public:
    enum class State { Missing, Unreadable, TooLarge, NotJson, Read };

    struct Server
    {
        QString address;
        int port = 0;
    };

    struct Tls
    {
        QString caFile;
        QString certFile;
        QString keyFile; // empty: the key is in certFile
        // The name the server's certificate must carry; empty: not checked.
        QString serverName;
    };

    // Never throws: what went wrong is in state() and problems().
    static BonusSettings read(const QString &path);
    // The same reading and checks on a file's bytes. Never throws.
    static BonusSettings fromBytes(const QByteArray &bytes);

    State state() const { return m_state; }
    // Read, and every value usable.
    bool isUsable() const { return m_state == State::Read && m_problems.isEmpty(); }
    QStringList problems() const { return m_problems; }

    QString text(const QString &key) const;
    // The checked value; 0 when the key is missing, null or unusable.
    int integer(const QString &key) const;
    // "reversalWindow", or its default when the key is left out.
    int reversalWindowSeconds() const;
    // "keepAlive", or its default when the key is left out or unusable.
    int keepAliveSeconds() const;

    // "logCardNumbers" is "masked"; "full", the default, otherwise.
    bool masksCardNumbers() const;

    // "servers" in order; empty when the key is missing (the single
    // "address" and "port" then name the server).
    QList<Server> servers() const { return m_servers; }
    bool hasTls() const { return m_values.contains(QStringLiteral("tls")); }
    Tls tls() const { return m_tls; }

    // Keys of the file that the plug-in does not read, each with the known
    // key it most resembles.
    QHash<QString, QString> unknownKeys() const;

    static QStringList knownKeys();

private:
    // The settings in `bytes`, parsed and checked.
    static BonusSettings parsed(const QByteArray &bytes);
    void check();
    void checkServers();
    void checkTls();
    // The number a value holds; false with the reason when it holds none.
    static bool number(const QString &key, const QJsonValue &json, qint64 *value, QString *problem);

    State m_state = State::Missing;
    QJsonObject m_values;
    QHash<QString, int> m_numbers;
    QList<Server> m_servers;
    Tls m_tls;
    QStringList m_problems;
};

#endif // BONUSSETTINGS_H
