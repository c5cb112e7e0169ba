#include "LogFileAppender.h"

#include <log4cxx/helpers/bytebuffer.h>
#include <log4cxx/helpers/outputstream.h>
#include <log4cxx/helpers/writer.h>

namespace {

// Hands each text it is given to the stream whole.
class WholeTextWriter : public log4cxx::helpers::Writer
{
public:
    explicit WholeTextWriter(const log4cxx::helpers::OutputStreamPtr &out)
        : out(out)
    {
    }

    void close(log4cxx::helpers::Pool &pool) override { out->close(pool); }
    void flush(log4cxx::helpers::Pool &pool) override { out->flush(pool); }
    void write(const log4cxx::LogString &text, log4cxx::helpers::Pool &pool) override
    {
        if (text.empty())
            return;
        // The stream only reads from the buffer.
        log4cxx::helpers::ByteBuffer buffer(const_cast<char *>(text.data()), text.size());
        out->write(buffer, pool);
    }

private:
    const log4cxx::helpers::OutputStreamPtr out;
};

} // namespace

static_assert(LOG4CXX_LOGCHAR_IS_UTF8, "the log file is written as log4cxx holds its texts");

log4cxx::helpers::WriterPtr LogFileAppender::createWriter(log4cxx::helpers::OutputStreamPtr &os)
{
    return std::make_shared<WholeTextWriter>(os);
}
