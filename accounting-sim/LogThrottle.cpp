#include "LogThrottle.h"

#include "Console.h"

namespace {

// More kinds than this share one throttle: the table stays small whatever
// the reasons say.
constexpr int mostKinds = 64;

} // namespace

LogThrottle::LogThrottle(Stream stream)
    : m_stream(stream)
{
}

void LogThrottle::write(const QString &line, const QString &kind)
{
    QString text;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const QString key = m_kinds.contains(kind) || m_kinds.size() < mostKinds ? kind : QString();
        Kind &state = m_kinds[key];
        if (state.sinceLast.isValid() && state.sinceLast.elapsed() < 1000) {
            ++state.held;
            return;
        }
        state.sinceLast.start();
        text = line;
        if (state.held > 0)
            text += QStringLiteral(" (%1 more not shown)").arg(state.held);
        state.held = 0;
    }
    if (m_stream == Stream::Out)
        Console::out(text);
    else
        Console::err(text);
}
