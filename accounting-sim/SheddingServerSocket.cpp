#include "SheddingServerSocket.h"

#include <thrift/transport/TTransportException.h>

#include <QString>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

namespace {

// Long enough not to spin on a full descriptor table, short enough that a
// freed descriptor is used at once.
constexpr auto backOff = std::chrono::milliseconds(20);

int openReserve()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

SheddingServerSocket::SheddingServerSocket(const std::string &address, int port)
    : TServerSocket(address, port)
    , m_reserve(openReserve())
{
}

SheddingServerSocket::~SheddingServerSocket()
{
    if (m_reserve >= 0)
        ::close(m_reserve);
}

std::shared_ptr<TTransport> SheddingServerSocket::acceptImpl()
{
    try {
        return TServerSocket::acceptImpl();
    } catch (const TTransportException &e) {
        // Stopping (INTERRUPTED) and a closed socket (NOT_OPEN) end the loop as before.
        if (e.getType() != TTransportException::UNKNOWN)
            throw;
        const int shed = shedWaiting();
        m_failures.write(QStringLiteral("accept failed (%1); refused %2 waiting connection(s);"
                                        " backing off")
                             .arg(QString::fromUtf8(e.what()))
                             .arg(shed));
        std::this_thread::sleep_for(backOff);
        // Thrift's accept loop takes a time-out as "try again".
        throw TTransportException(TTransportException::TIMED_OUT, "accept backed off");
    }
}

int SheddingServerSocket::shedWaiting()
{
    if (m_reserve >= 0) {
        ::close(m_reserve);
        m_reserve = -1;
    }
    int shed = 0;
    pollfd waiting {getSocketFD(), POLLIN, 0};
    while (::poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN)) {
        const int client = ::accept4(getSocketFD(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            break;
        ::close(client);
        ++shed;
    }
    m_reserve = openReserve();
    return shed;
}
