// Text from outside (paths, process and executable names, bus arguments,
// kernel requests) as it may stand in a log line: a control character
// (below 0x20, and 0x7f) becomes \xHH, so a name cannot end its line and
// forge the next one. Text without one is used as it is, uncopied.
#pragma once

#include <string>

class LogText {
public:
    explicit LogText(const std::string& text);
    explicit LogText(const char* text);
    const char* c_str() const { return m_escaped.empty() ? m_raw : m_escaped.c_str(); }

private:
    void escape(const char* text, size_t size);
    const char* m_raw;
    std::string m_escaped;
};

inline LogText logSafe(const std::string& text) { return LogText(text); }
inline LogText logSafe(const char* text) { return LogText(text); }
