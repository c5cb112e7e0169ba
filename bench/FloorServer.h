#ifndef FLOORSERVER_H
#define FLOORSERVER_H

/*!
    The floor of the accounting-sim benchmark: a bare Thrift server from the
    same library and of the same kind (thread pool, buffered transport,
    binary protocol, no framing), whose handler keeps balances and pending
    transactions in an in-memory map. Whatever accounting-sim spends above
    it is its own: the ledger, durability, checks and logging.
*/
class FloorServer
{
public:
    // Serves on 127.0.0.1 (port 0: any) until SIGTERM; logs
    // "listening on 127.0.0.1:PORT" to stdout first, as accounting-sim does.
    static int run(int workers);
};

#endif // FLOORSERVER_H
