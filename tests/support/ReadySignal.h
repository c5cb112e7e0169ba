#ifndef READYSIGNAL_H
#define READYSIGNAL_H

#include <thrift/server/TServerFramework.h>

#include <future>

/*!
    Tells the thread that started a Thrift server on another thread that the
    server socket listens, so the port can be read back and dialled at once.
*/
class ReadySignal : public apache::thrift::server::TServerEventHandler
{
public:
    void preServe() override;
    // Blocks until the server listens.
    void wait();

private:
    std::promise<void> ready;
    std::future<void> listening = ready.get_future();
};

#endif // READYSIGNAL_H
