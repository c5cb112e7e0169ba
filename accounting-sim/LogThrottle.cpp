#include "LogThrottle.h"

#include "Console.h"

LogThrottle::LogThrottle(Stream stream)
    : m_stream(stream)
{
}

void LogThrottle::write(const QString &line)
{
    QString text;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_sinceLast.isValid() && m_sinceLast.elapsed() < 1000) {
            ++m_held;
            return;
        }
        m_sinceLast.start();
        text = line;
        if (m_held > 0)
            text += QStringLiteral(" (%1 more not shown)").arg(m_held);
        m_held = 0;
    }
    if (m_stream == Stream::Out)
        Console::out(text);
    else
        Console::err(text);
}
