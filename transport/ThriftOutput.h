#ifndef THRIFTOUTPUT_H
#define THRIFTOUTPUT_H

/*!
    Sends the Thrift library's own diagnostics (a refused connection, a
    failed handshake) to the log, logger "thrifttransportprovider", instead
    of the till's stderr. The hook is process-wide and points into this
    library, so the last user puts Thrift's default back before the library
    can be unloaded.
*/
class ThriftOutput
{
public:
    static void capture();
    static void release();
};

#endif // THRIFTOUTPUT_H
