#ifndef EARNINGCLIENT_H
#define EARNINGCLIENT_H

#include "SimClient.h"

#include <QString>

#include <string>

/*!
    Earns bonus the way a till's loyalty module does once a sale is paid:
    makeEarn under an id of its own, then commitTransaction with the
    server's session id. A commit left without an answer is asked again
    (a repeated commit is answered as the first); one still unanswered, or
    refused, is reversed by the till's own id, which the server settles even
    when the earning never reached it. Each earning gets an id never used
    before.
*/
class EarningClient
{
public:
    // Unsettled: even the reversal went unanswered.
    enum class Outcome { Earned, Refused, Reversed, Unsettled };

    EarningClient(quint16 port, std::string terminal);

    Outcome earn(const std::string &card, int64_t amount,
                 const accounting::logic::thriftapi::AssetGroup &group = {});
    // The server's last description, or the failure that ended the earning.
    QString description() const { return m_description; }

private:
    SimClient m_client;
    const std::string m_terminal;
    const std::string m_idPrefix;
    int m_next = 0;
    QString m_description;
};

#endif // EARNINGCLIENT_H
