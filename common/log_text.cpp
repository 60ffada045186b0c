#include "common/log_text.h"

#include <cstring>

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

LogText::LogText(const std::string& text) : m_raw(text.c_str()) { escape(text.data(), text.size()); }

LogText::LogText(const char* text) : m_raw(text != nullptr ? text : "") { escape(m_raw, strlen(m_raw)); }

void LogText::escape(const char* text, size_t size)
{
    size_t i = 0;
    while (i < size && !isControl(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (i == size) {
        return;
    }
    static const char kHex[] = "0123456789abcdef";
    m_escaped.reserve(size + 16);
    m_escaped.assign(text, i);
    for (; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (isControl(c)) {
            const char code[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
            m_escaped.append(code, sizeof(code));
        } else {
            m_escaped.push_back(static_cast<char>(c));
        }
    }
}
