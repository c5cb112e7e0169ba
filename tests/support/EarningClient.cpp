#include "EarningClient.h"

#include <QRandomGenerator>

#include <thrift/Thrift.h>

EarningClient::EarningClient(quint16 port, std::string terminal)
    : m_client(port)
    , m_terminal(std::move(terminal))
    , m_idPrefix("E" + std::to_string(QRandomGenerator::global()->generate()) + "-")
{
}

EarningClient::Outcome EarningClient::earn(const std::string &card, int64_t amount,
                                           const accounting::logic::thriftapi::AssetGroup &group)
{
    const std::string id = m_idPrefix + std::to_string(++m_next);
    bool answered = false;
    SimClient::Result opened;
    try {
        opened = m_client.makeEarn(m_terminal, card, amount, id, group);
        answered = true;
        m_description = QString::fromStdString(opened.description);
    } catch (const apache::thrift::TException &e) {
        m_description = QString::fromUtf8(e.what());
    }
    if (answered && !opened.success)
        return Outcome::Refused;
    for (int attempt = 0; answered && attempt < 2; ++attempt) {
        try {
            const SimClient::Result committed = m_client.commit(m_terminal, opened.sessionId, card);
            m_description = QString::fromStdString(committed.description);
            if (committed.success)
                return Outcome::Earned;
            break;
        } catch (const apache::thrift::TException &e) {
            m_description = QString::fromUtf8(e.what());
        }
    }
    // Not known to have landed: the till's own id reverses it, landed or not.
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            if (m_client.rollback(m_terminal, id, card).success)
                return Outcome::Reversed;
        } catch (const apache::thrift::TException &e) {
            m_description = QString::fromUtf8(e.what());
        }
    }
    return Outcome::Unsettled;
}
