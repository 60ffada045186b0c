// Log lines for tests to assert on: captured live from the logger
// (LogCapture, every level DEBUG included) or read from the log file the
// executable under test wrote (ProgramLog).
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace log4cpp {
class Appender;
}

struct LoggedLine {
    std::string level;    // "DEBUG", "INFO", "WARN", "ERROR", "FATAL"
    std::string category; // "" for root or a file's line, "INFO" for the milestone category
    std::string message;  // "[function:line] text"
};

class LogLines {
public:
    std::vector<LoggedLine> lines() const;
    // Lines whose message, after the "[function:line] " prefix, equals text
    // (level "" matches any level).
    size_t count(const std::string& text, const std::string& level = "") const;
    bool has(const std::string& text, const std::string& level = "") const { return indexOf(text, level) >= 0; }
    // Lines whose message contains the fragment anywhere.
    size_t countContaining(const std::string& fragment, const std::string& level = "") const;
    // Index of the first line count() would match, or -1; for order checks.
    long indexOf(const std::string& text, const std::string& level = "") const;
    void clear();
    // Every line, one per row, for failure messages.
    std::string dump() const;
    void record(LoggedLine line);

private:
    mutable std::mutex m_lock;
    std::vector<LoggedLine> m_lines;
};

class LogCapture : public LogLines {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

private:
    log4cpp::Appender* m_rootAppender;
    log4cpp::Appender* m_infoAppender;
    int m_oldRootPriority;
};

// /var/log/vetu/vetu_label_manager.log as it is now, in the logger's
// fallback layout (the sandbox holds no properties file).
class ProgramLog : public LogLines {
public:
    ProgramLog();
};

// Removes the log file, so that a following run starts a fresh one.
void clearProgramLog();

// The message without its "[function:line] " prefix.
std::string stripLogPrefix(const std::string& message);
