// Captures what the program logs, so tests can assert on exact log texts.
// While one exists, every level (DEBUG included) is recorded.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace log4cpp {
class Appender;
}

struct LoggedLine {
    std::string level;    // "DEBUG", "INFO", "WARN", "ERROR", "FATAL"
    std::string category; // "" for root, "INFO" for the milestone category
    std::string message;  // "[function:line] text"
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LoggedLine> lines() const;
    // Lines whose message, after the "[function:line] " prefix, equals text
    // (level "" matches any level).
    size_t count(const std::string& text, const std::string& level = "") const;
    bool has(const std::string& text, const std::string& level = "") const { return count(text, level) > 0; }
    // Lines whose message contains the fragment anywhere.
    size_t countContaining(const std::string& fragment, const std::string& level = "") const;
    void clear();
    // Every captured line, one per row, for failure messages.
    std::string dump() const;

    void record(LoggedLine line);

private:
    mutable std::mutex m_lock;
    std::vector<LoggedLine> m_lines;
    log4cpp::Appender* m_rootAppender;
    log4cpp::Appender* m_infoAppender;
    int m_oldRootPriority;
};

// The message without its "[function:line] " prefix.
std::string stripLogPrefix(const std::string& message);
