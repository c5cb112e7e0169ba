#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <QByteArray>
#include <QString>

/*!
    A JSON string literal, written straight into UTF-8, byte for byte as
    QJsonDocument writes it in compact form. The answers of every run are
    made of a few such strings; going through a document for each one cost
    more than the rest of the formatting together.
*/
class JsonText
{
public:
    // `text` as a JSON string, quotes included, appended to `out`.
    static void appendQuoted(QByteArray &out, const QString &text);
    static QByteArray quoted(const QString &text);
};

#endif // JSONTEXT_H
