#ifndef LIMITS_H
#define LIMITS_H

#include <QtGlobal>

/*!
    The plug-in's fixed limits, in one place. Every wait has a bound and no
    reply from the network can make the till allocate without one.
*/
class Limits
{
public:
    // Time limits of the accounting server's sockets, used when the settings
    // leave one out or set it to 0 (milliseconds).
    static constexpr int defaultConnectMs = 5000;
    static constexpr int defaultSendMs = 5000;
    static constexpr int defaultReceiveMs = 15000;

    // An endpoint that would not connect is tried after the others for this
    // long, so a dead server costs its connect limit at most once in it.
    static constexpr int endpointRestMs = 60000;
    // A failed connection attempt that took this long makes an endpoint rest.
    static constexpr int endpointSlowFailureMs = 100;

    // The largest reply, string or list the client decodes.
    static constexpr int maxReplyBytes = 1024 * 1024;

    // Time limits of the till's MariaDB connection (seconds, as the driver
    // takes them).
    static constexpr int databaseConnectSeconds = 3;
    static constexpr int databaseReadSeconds = 5;
    static constexpr int databaseWriteSeconds = 5;

    // A commit whose outcome is unknown is asked again this many times.
    static constexpr int commitRetries = 3;

    // How long a run waits for another process's run on the same till tree.
    static constexpr int lockWaitMs = 120000;

    // The widest slip that can be laid out.
    static constexpr int maxWidthPrint = 1000;

    // Settled journal records older than this are pruned.
    static constexpr int journalKeepDays = 30;
};

#endif // LIMITS_H
