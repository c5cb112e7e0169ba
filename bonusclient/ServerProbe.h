#ifndef SERVERPROBE_H
#define SERVERPROBE_H

#include <QString>

/*!
    What one server answered to one balance call that moves nothing: the
    bonus client's probe for the till diagnostic. The wire gives a refusal
    as a text only, so the texts that mean "no such card" are kept in one
    table here (isCardNotFound()); every other refusal, the terminal's
    among them, counts against the server.
*/
class ServerProbe
{
public:
    enum class Outcome {
        Answered, // the balance came back
        Refused, // the server answered with a refusal: description()
        Unreachable // no answer: description() holds the transport's reason
    };

    ServerProbe() = default;
    ServerProbe(const QString &server, Outcome outcome, const QString &description,
                double balance = 0);

    // "host:port" as the settings name it.
    QString server() const { return m_server; }
    Outcome outcome() const { return m_outcome; }
    QString description() const { return m_description; }
    double balance() const { return m_balance; }
    // Refused only because the card is unknown: the terminal was served.
    bool isCardNotFound() const;

    // A card number no server issues, for a probe without a card of its own.
    static QString absentCard();

private:
    QString m_server;
    Outcome m_outcome = Outcome::Unreachable;
    QString m_description;
    double m_balance = 0;
};

#endif // SERVERPROBE_H
