#include "TestServers.h"

#include <QDir>

#include <future>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TSSLServerSocket.h>
#include <thrift/transport/TServerSocket.h>

using namespace accounting::logic::thriftapi;
using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TServerEventHandler;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TServerSocket;
using apache::thrift::transport::TSSLServerSocket;
using apache::thrift::transport::TSSLSocketFactory;
using apache::thrift::transport::TTransportFactory;

namespace {

int loopbackSocket(int *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() failed");
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Tells the test thread the port once the server listens.
class ReadySignal : public TServerEventHandler
{
public:
    void preServe() override { ready.set_value(); }
    std::promise<void> ready;
};

} // namespace

RefusedPort::RefusedPort()
    : m_fd(loopbackSocket(&m_port))
{
}

RefusedPort::~RefusedPort()
{
    ::close(m_fd);
}

RawServer::RawServer(std::function<void(int)> session)
    : m_fd(loopbackSocket(&m_port))
    , m_session(std::move(session))
{
    if (::listen(m_fd, 16) != 0)
        throw std::runtime_error("listen() failed");
    if (!m_session)
        return;
    m_thread = std::thread([this] {
        for (;;) {
            const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return; // the listening socket was shut down
            ++m_accepted;
            m_session(client);
        }
    });
}

RawServer::~RawServer()
{
    stopListening();
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_fd);
}

void RawServer::stopListening()
{
    // Wakes a blocked accept() and refuses what comes next.
    ::shutdown(m_fd, SHUT_RDWR);
}

void RawServer::writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

void RawServer::waitForPeerClose(int fd)
{
    char buffer[4096];
    while (::recv(fd, buffer, sizeof(buffer), 0) > 0) { }
}

void AccountingHandler::balance(Result &answer, const std::string &, const std::string &cardNumber)
{
    ++calls;
    answer.__set_success(true);
    answer.__set_sessionId(cardNumber);
    std::string text;
    const std::string letter = "Ж"; // two bytes in UTF-8
    while (int(text.size()) + 2 <= descriptionBytes)
        text += letter;
    answer.__set_description(text);
    answer.__set_balance(123456);
}

void AccountingHandler::makePay(Result &answer, const std::string &, const std::string &sessionId,
                                const std::string &, int64_t amount, const AdditionalAssetInfo &)
{
    ++calls;
    answer.__set_success(true);
    answer.__set_sessionId(sessionId);
    answer.__set_balance(amount);
}

AccountingServer::AccountingServer(std::shared_ptr<AccountingHandler> handler)
{
    start(std::move(handler), std::make_shared<TServerSocket>("127.0.0.1", 0));
}

AccountingServer::AccountingServer(std::shared_ptr<AccountingHandler> handler,
                                   std::shared_ptr<TSSLSocketFactory> tls)
{
    start(std::move(handler), std::make_shared<TSSLServerSocket>("127.0.0.1", 0, tls));
}

void AccountingServer::start(std::shared_ptr<AccountingHandler> handler,
                             std::shared_ptr<TServerSocket> socket)
{
    // Unbuffered like the till's client: the binary protocol straight on the
    // socket.
    m_server = std::make_shared<TThreadedServer>(
        std::make_shared<AccountingLogicServiceProcessor>(handler), socket,
        std::make_shared<TTransportFactory>(), std::make_shared<TBinaryProtocolFactory>());
    auto signal = std::make_shared<ReadySignal>();
    std::future<void> ready = signal->ready.get_future();
    m_server->setServerEventHandler(signal);
    m_thread = std::thread([server = m_server] { server->serve(); });
    ready.wait();
    m_port = socket->getPort();
}

AccountingServer::~AccountingServer()
{
    m_server->stop();
    m_thread.join();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}
