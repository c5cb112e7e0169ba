#include "RawTestServer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <memory>

namespace {
// Short waits so that the destructor is noticed promptly.
const int pollMs = 20;
// A silent server gives up after this long, so that a client without a
// receive limit fails the test instead of hanging it.
const int patienceMs = 2500;

QByteArray int32(qint32 value)
{
    QByteArray out(4, '\0');
    qToBigEndian(value, out.data());
    return out;
}

QByteArray string(const QByteArray &text)
{
    return int32(text.size()) + text;
}

// Version word, name and sequence id of a strict-write message are all there.
bool headerArrived(const QByteArray &bytes)
{
    if (bytes.size() < 8)
        return false;
    const qint32 nameLength = qFromBigEndian<qint32>(bytes.constData() + 4);
    return bytes.size() >= 12 + nameLength;
}
} // namespace

RawTestServer::RawTestServer(Behaviour behaviour, const QByteArray &answer)
    : behaviour(behaviour)
    , answer(answer)
{
    std::promise<quint16> ready;
    std::future<quint16> port = ready.get_future();
    thread = std::thread(&RawTestServer::run, this, &ready);
    listeningPort = port.get();
}

RawTestServer::~RawTestServer()
{
    stopping = true;
    thread.join();
}

QByteArray RawTestServer::received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

QByteArray RawTestServer::messageHeader(int type, const QByteArray &name)
{
    return int32(qint32(0x80010000u | quint32(type))) + string(name) + int32(0);
}

QByteArray RawTestServer::exceptionMessage(const QByteArray &name, const QByteArray &text, int type)
{
    // TApplicationException: 1 message (string), 2 type (i32), stop.
    return messageHeader(3, name) + QByteArray("\x0b\x00\x01", 3) + string(text)
        + QByteArray("\x08\x00\x02", 3) + int32(type) + QByteArray(1, '\0');
}

QByteArray RawTestServer::replyWithoutResult(const QByteArray &name)
{
    return messageHeader(2, name) + QByteArray(1, '\0');
}

void RawTestServer::run(std::promise<quint16> *ready)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    ready->set_value(server.serverPort());

    while (!stopping) {
        if (!server.waitForNewConnection(pollMs))
            continue;
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        QByteArray request;
        bool started = false;
        QElapsedTimer sinceRequest;
        while (!stopping && socket->state() == QAbstractSocket::ConnectedState) {
            if (started && behaviour == KeepSilent && sinceRequest.hasExpired(patienceMs)) {
                socket->close();
                break;
            }
            socket->waitForReadyRead(pollMs);
            const QByteArray chunk = socket->readAll();
            if (chunk.isEmpty())
                continue;
            request += chunk;
            {
                std::lock_guard<std::mutex> lock(mutex);
                bytes += chunk;
            }
            if (started || !headerArrived(request))
                continue;
            started = true;
            sinceRequest.start();
            if (behaviour == HangUp) {
                socket->close();
                break;
            }
            if (behaviour == Answer) {
                socket->write(answer);
                socket->waitForBytesWritten(1000);
            }
        }
    }
}
