#include "RequestReader.h"

#include <thrift/protocol/TProtocol.h>

#include <algorithm>

using namespace apache::thrift::protocol;

namespace {

// The strict header's first word: version 1 in the high half, the message type below.
constexpr uint32_t versionMask = 0xffff0000u;
constexpr uint32_t version1 = 0x80010000u;

} // namespace

RequestReader::RequestReader(uint32_t maxMessageBytes, uint32_t maxStringBytes,
                             uint32_t maxContainerItems, int maxDepth)
    : m_maxMessageBytes(maxMessageBytes)
    , m_maxStringBytes(maxStringBytes)
    , m_maxContainerItems(maxContainerItems)
    , m_maxDepth(maxDepth)
{
}

void RequestReader::reset()
{
    m_step = Step::Version;
    m_strict = false;
    m_position = 0;
    m_skip = 0;
    m_pendingType = -1;
    m_frames.clear();
    m_error.clear();
}

int32_t RequestReader::int32At(const char *data)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(data);
    return int32_t(uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8
                   | uint32_t(bytes[3]));
}

RequestReader::Status RequestReader::invalid(const std::string &reason)
{
    m_error = reason;
    return Status::Invalid;
}

RequestReader::Status RequestReader::length(const char *data, size_t size, const char *what,
                                            uint32_t most, int32_t &value)
{
    if (!have(size, 4))
        return Status::Incomplete;
    value = int32At(data + m_position);
    m_position += 4;
    if (value < 0)
        return invalid(std::string("negative ") + what + " length");
    if (uint32_t(value) > most)
        return invalid(std::string(what) + " of " + std::to_string(value) + " is over the limit of "
                       + std::to_string(most));
    return Status::Complete;
}

RequestReader::Status RequestReader::startValue(const char *data, size_t size)
{
    const int8_t type = int8_t(m_pendingType);
    int32_t count = 0;
    Status status = Status::Complete;
    switch (type) {
    case T_BOOL:
    case T_BYTE:
        m_skip = 1;
        break;
    case T_I16:
        m_skip = 2;
        break;
    case T_I32:
        m_skip = 4;
        break;
    case T_I64:
    case T_DOUBLE:
        m_skip = 8;
        break;
    case T_STRING:
        status = length(data, size, "string", m_maxStringBytes, count);
        m_skip = size_t(count);
        break;
    case T_STRUCT:
        if (int(m_frames.size()) >= m_maxDepth)
            return invalid("nested deeper than " + std::to_string(m_maxDepth));
        m_frames.push_back({Frame::Kind::Struct, 0, 0, 0});
        break;
    case T_MAP:
    case T_SET:
    case T_LIST: {
        if (int(m_frames.size()) >= m_maxDepth)
            return invalid("nested deeper than " + std::to_string(m_maxDepth));
        const bool map = type == T_MAP;
        // The element types (two for a map) come before the count.
        if (!have(size, map ? 6 : 5))
            return Status::Incomplete;
        const int8_t first = int8_t(data[m_position]);
        const int8_t second = map ? int8_t(data[m_position + 1]) : 0;
        m_position += map ? 2 : 1;
        status = length(data, size, "container", m_maxContainerItems, count);
        if (status != Status::Complete)
            return status;
        m_frames.push_back({map ? Frame::Kind::Map : Frame::Kind::List, first, second,
                            map ? 2 * int64_t(count) : int64_t(count)});
        break;
    }
    default:
        return invalid("unknown type " + std::to_string(type));
    }
    if (status == Status::Complete)
        m_pendingType = -1;
    return status;
}

RequestReader::Status RequestReader::scan(const char *data, size_t size)
{
    if (!m_error.empty())
        return Status::Invalid;
    for (;;) {
        // Checked before any wait: a declared size past the limit is refused
        // at once, not after its bytes came.
        if (m_position + m_skip > m_maxMessageBytes)
            return invalid("request larger than " + std::to_string(m_maxMessageBytes) + " bytes");
        if (m_skip > 0) {
            const size_t take = std::min(m_skip, size - m_position);
            m_position += take;
            m_skip -= take;
            if (m_skip > 0)
                return Status::Incomplete;
            continue;
        }
        if (m_pendingType >= 0) {
            const Status started = startValue(data, size);
            if (started != Status::Complete)
                return started;
            continue;
        }

        int32_t count = 0;
        switch (m_step) {
        case Step::Version: {
            if (!have(size, 4))
                return Status::Incomplete;
            const int32_t first = int32At(data + m_position);
            if (first < 0) {
                // Strict: version and type, then the name's length.
                if ((uint32_t(first) & versionMask) != version1)
                    return invalid("bad protocol version");
                m_position += 4;
                m_strict = true;
                m_step = Step::Name;
            } else {
                // The old header starts with the name's length.
                m_strict = false;
                m_step = Step::Name;
            }
            continue;
        }
        case Step::Name: {
            const Status read = length(data, size, "method name", m_maxStringBytes, count);
            if (read != Status::Complete)
                return read;
            m_skip = size_t(count);
            m_step = Step::Header;
            continue;
        }
        case Step::Header: {
            // Strict: the sequence id; old: the type, then the sequence id.
            const size_t bytes = m_strict ? 4 : 5;
            if (!have(size, bytes))
                return Status::Incomplete;
            m_position += bytes;
            m_frames.push_back({Frame::Kind::Struct, 0, 0, 0});
            m_step = Step::Body;
            continue;
        }
        case Step::Body:
            break;
        }

        if (m_frames.empty())
            return Status::Complete;
        Frame &top = m_frames.back();
        if (top.kind == Frame::Kind::Struct) {
            if (!have(size, 1))
                return Status::Incomplete;
            const int8_t type = int8_t(data[m_position]);
            if (type == T_STOP) {
                ++m_position;
                m_frames.pop_back();
                continue;
            }
            // The field's type and id, then its value.
            if (!have(size, 3))
                return Status::Incomplete;
            m_position += 3;
            // As a byte: a type with the high bit set is unknown, not "none".
            m_pendingType = uint8_t(type);
        } else if (top.remaining == 0) {
            m_frames.pop_back();
        } else {
            // A map's keys and values alternate, the key first.
            const bool key = top.kind == Frame::Kind::List || top.remaining % 2 == 0;
            m_pendingType = uint8_t(key ? top.elementType : top.valueType);
            --top.remaining;
        }
    }
}
