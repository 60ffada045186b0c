#include "common/log_text.h"

#include <cstdint>
#include <cstring>

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Whether any of eight bytes is below 0x20 or is 0x7f: most text has none,
// and is then passed over a word at a time.
bool hasControl(uint64_t word)
{
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    const uint64_t del = word ^ (0x7f * kOnes);
    return ((((word - 0x20 * kOnes) & ~word) | ((del - kOnes) & ~del)) & kHigh) != 0;
}

}  // namespace

LogText::LogText(const std::string& text) : m_raw(text.c_str()) { escape(text.data(), text.size()); }

LogText::LogText(const char* text) : m_raw(text != nullptr ? text : "") { escape(m_raw, strlen(m_raw)); }

void LogText::escape(const char* text, size_t size)
{
    size_t i = 0;
    for (uint64_t word; i + sizeof(word) <= size; i += sizeof(word)) {
        memcpy(&word, text + i, sizeof(word));
        if (hasControl(word)) {
            break;
        }
    }
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
