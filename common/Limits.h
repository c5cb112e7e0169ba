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

    // An endpoint that would not connect is tried after the others until a
    // connection to it succeeds; after this long a probe in the background
    // tries it, and again this long after each probe that failed.
    static constexpr int endpointRestMs = 60000;
    // A failed connection attempt that took this long makes an endpoint rest.
    static constexpr int endpointSlowFailureMs = 100;

    // Connections to the accounting servers are kept open between calls and
    // operations this long by default (keepAlive, seconds): below the idle
    // limit of common servers (accounting-sim's is 30 s), so that a kept
    // connection is seldom closed by the server just as a call goes out.
    static constexpr int defaultKeepAliveSeconds = 20;
    static constexpr int maxKeepAliveSeconds = 3600;
    // One till makes one call at a time: a few kept connections an endpoint
    // are plenty.
    static constexpr int maxKeptPerEndpoint = 4;

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

    // Card numbers a masked log keeps to mask: a run meets one or two, a
    // settling pass one per journal record it reads.
    static constexpr int rememberedCardNumbers = 64;

    // Settled journal records older than this are pruned. It also bounds
    // how far back the till makes sure a transaction id it sends is new.
    static constexpr int journalKeepDays = 30;

    // A settings file larger than this is refused unread: no real one comes
    // near it, and the whole file would be parsed at every operation.
    static constexpr int maxSettingsBytes = 1024 * 1024;

    // A reversal the server refused is asked again after these pauses
    // (seconds), the last one repeating: a payment still on its way to the
    // server when the first reversal arrived is found by a later one.
    static constexpr int reversalBackoffSeconds[] = {30, 120, 300, 900};
    // How long refused reversals are asked again before a refusal counts
    // (reversalWindow, seconds): at least the server's pending limit, so
    // that nothing of the transaction can be held there any more.
    static constexpr int defaultReversalWindowSeconds = 900;
    // An accounting server takes the till's own transaction id for a
    // transaction made this long ago at most (the id repeats every day);
    // past it, a reversal by that id finds nothing, whatever stands.
    static constexpr int transactionIdHorizonSeconds = 12 * 3600;
    static constexpr int maxReversalWindowSeconds = 30 * 86400;

    // The longest session id the till commits or rolls back by: no server
    // makes longer ones, and a longer one would not fit its own records.
    static constexpr int maxSessionIdChars = 255;
    // Server texts kept in the journal are cut to this many characters.
    static constexpr int maxJournalTextChars = 500;

    // The journal keeps room in its write-ahead log for this many page
    // writes before a payment is sent, so that the payment's outcome can
    // be recorded on a disk that fills meanwhile (a payment's outcome
    // writes take some 10 pages); and the log is cut back to this size when
    // it starts over, so that the room it keeps stays bounded. The size is
    // above what the log reaches between SQLite's own checkpoints (1000
    // pages), so that a log in steady use is written over in place, never
    // cut and grown again: growing takes the disk's space anew on a sync.
    static constexpr int journalReservedPages = 32;
    static constexpr int journalLogLimitBytes = 8 * 1024 * 1024;
};

#endif // LIMITS_H
