#ifndef BONUSSETTINGS_H
#define BONUSSETTINGS_H

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

/*!
    The plug-in's settings file, read and checked in one go. Texts convert as
    Qt's variants do (a number gives its decimal text, true gives "true",
    anything else the empty text). Numbers are checked, because a number
    that the slip or the socket cannot use must stop an operation before any
    money moves: a number key takes a JSON integer, or a string holding one,
    within the key's range; null counts as missing. Each value that breaks a
    rule is one line of problems().
*/
class BonusSettings
{
public:
    enum class State { Missing, Unreadable, NotJson, Read };

    // Never throws: what went wrong is in state() and problems().
    static BonusSettings read(const QString &path);

    State state() const { return m_state; }
    // Read, and every number usable.
    bool isUsable() const { return m_state == State::Read && m_problems.isEmpty(); }
    QStringList problems() const { return m_problems; }

    QString text(const QString &key) const;
    // The checked value; 0 when the key is missing, null or unusable.
    int integer(const QString &key) const;

    // Every key the plug-in reads.
    static QStringList knownKeys();

private:
    void check();
    // The number a key holds; false with the reason when it holds none.
    bool number(const QString &key, qint64 *value, QString *problem) const;

    State m_state = State::Missing;
    QJsonObject m_values;
    QHash<QString, int> m_numbers;
    QStringList m_problems;
};

#endif // BONUSSETTINGS_H
