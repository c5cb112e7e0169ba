#include "ServerProbe.h"

namespace {

// The refusals that say the card is unknown and nothing else. The server's
// texts, byte for byte; a server that words it otherwise fails the probe,
// which is the safe side.
const char *const cardNotFoundTexts[] = {"Карта не найдена"};

} // namespace

ServerProbe::ServerProbe(const QString &server, Outcome outcome, const QString &description,
                         double balance)
    : m_server(server)
    , m_outcome(outcome)
    , m_description(description)
    , m_balance(balance)
{
}

bool ServerProbe::isCardNotFound() const
{
    if (m_outcome != Outcome::Refused)
        return false;
    for (const char *text : cardNotFoundTexts) {
        if (m_description == QString::fromUtf8(text))
            return true;
    }
    return false;
}

QString ServerProbe::absentCard()
{
    // Issuers never hand out an all-zero number.
    return QStringLiteral("0000000000000");
}
