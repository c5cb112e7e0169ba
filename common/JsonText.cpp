#include "JsonText.h"

namespace {

const char hexDigits[] = "0123456789abcdef";

char *escape(char *at, uint code)
{
    *at++ = '\\';
    *at++ = 'u';
    *at++ = hexDigits[(code >> 12) & 0xf];
    *at++ = hexDigits[(code >> 8) & 0xf];
    *at++ = hexDigits[(code >> 4) & 0xf];
    *at++ = hexDigits[code & 0xf];
    return at;
}

// The two-character escapes below 0x20, by code; 0 where there is none.
const char shortEscapes[0x20] = {0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r'};

} // namespace

void JsonText::appendQuoted(QByteArray &out, const QString &text)
{
    out.append('"');
    const QChar *it = text.constData();
    const QChar *const end = it + text.size();
    while (it != end) {
        // A slice at a time, with room for its worst case of six bytes a
        // character, written through a pointer and cut back to size; a
        // surrogate pair is never split between slices.
        const QChar *sliceEnd = it + qMin<qptrdiff>(end - it, 4096);
        if (sliceEnd != end && (sliceEnd - 1)->isHighSurrogate())
            ++sliceEnd;
        const int start = out.size();
        out.resize(start + int(sliceEnd - it) * 6);
        char *at = out.data() + start;
        for (; it != sliceEnd; ++it) {
            const uint code = it->unicode();
            if (code >= 0x20 && code < 0x80) {
                if (code == '"' || code == '\\')
                    *at++ = '\\';
                *at++ = char(code);
            } else if (code < 0x20) {
                if (shortEscapes[code]) {
                    *at++ = '\\';
                    *at++ = shortEscapes[code];
                } else {
                    at = escape(at, code);
                }
            } else if (code < 0x800) {
                *at++ = char(0xc0 | (code >> 6));
                *at++ = char(0x80 | (code & 0x3f));
            } else if (!it->isSurrogate()) {
                *at++ = char(0xe0 | (code >> 12));
                *at++ = char(0x80 | ((code >> 6) & 0x3f));
                *at++ = char(0x80 | (code & 0x3f));
            } else if (it->isHighSurrogate() && it + 1 != sliceEnd && (it + 1)->isLowSurrogate()) {
                const uint full = QChar::surrogateToUcs4(*it, *(it + 1));
                ++it;
                *at++ = char(0xf0 | (full >> 18));
                *at++ = char(0x80 | ((full >> 12) & 0x3f));
                *at++ = char(0x80 | ((full >> 6) & 0x3f));
                *at++ = char(0x80 | (full & 0x3f));
            } else {
                // A lone surrogate has no UTF-8 form: it goes as an escape.
                at = escape(at, code);
            }
        }
        out.resize(int(at - out.constData()));
    }
    out.append('"');
}

QByteArray JsonText::quoted(const QString &text)
{
    QByteArray out;
    appendQuoted(out, text);
    return out;
}
