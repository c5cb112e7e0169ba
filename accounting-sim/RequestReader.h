#ifndef REQUESTREADER_H
#define REQUESTREADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/*!
    Finds where one request ends in the bytes a connection has sent so far.
    The till writes the binary protocol without framing, so the end of a
    call is known only by walking its structure: the message header, then
    the arguments' struct down to its last stop field.

    scan() is given the connection's whole buffer each time more arrives and
    resumes where it stopped, so a request that trickles in is walked once.
    It refuses, before anything is allocated for it, what the server's
    decoder would refuse or what could not be a till's request: a message
    over `maxMessageBytes`, a declared string over `maxStringBytes`, a
    container over `maxContainerItems`, nesting deeper than `maxDepth`, an
    unknown type or a bad version. Both the strict and the old message
    header are read, as the server's protocol does.
*/
class RequestReader
{
public:
    enum class Status { Incomplete, Complete, Invalid };

    RequestReader(uint32_t maxMessageBytes, uint32_t maxStringBytes, uint32_t maxContainerItems,
                  int maxDepth);

    Status scan(const char *data, size_t size);
    // The request's length once Complete.
    size_t messageBytes() const { return m_position; }
    // Why it is Invalid.
    const std::string &error() const { return m_error; }
    // Ready for the next request; its bytes start at 0 again.
    void reset();

private:
    enum class Step { Version, Name, Header, Body };

    struct Frame
    {
        enum class Kind { Struct, List, Map } kind;
        int8_t elementType = 0; // List: every element's; Map: the keys'
        int8_t valueType = 0; // Map: the values'
        int64_t remaining = 0; // List, Map: elements (a map's keys and values each count)
    };

    Status invalid(const std::string &reason);
    // Reads a length at the position and checks it against `most`.
    Status length(const char *data, size_t size, const char *what, uint32_t most, int32_t &value);
    // Reads the header of the value of m_pendingType, if it has one; Complete
    // once the value is under way.
    Status startValue(const char *data, size_t size);
    bool have(size_t size, size_t bytes) const { return size - m_position >= bytes; }
    static int32_t int32At(const char *data);

    const uint32_t m_maxMessageBytes;
    const uint32_t m_maxStringBytes;
    const uint32_t m_maxContainerItems;
    const int m_maxDepth;

    Step m_step = Step::Version;
    bool m_strict = false;
    size_t m_position = 0;
    // Bytes of a value still to pass over.
    size_t m_skip = 0;
    // The type of the value that starts at the position; -1: none.
    int m_pendingType = -1;
    std::vector<Frame> m_frames;
    std::string m_error;
};

#endif // REQUESTREADER_H
