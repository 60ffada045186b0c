// Log lines captured live from the logger at every level (LogCapture) or read
// from the log file the executable wrote (ProgramLog).
#pragma once

#include <functional>
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
    // Lines whose message after "[function:line] " is text (level "": any).
    size_t count(const std::string& text, const std::string& level = "") const;
    bool has(const std::string& text, const std::string& level = "") const { return indexOf(text, level) >= 0; }
    size_t countContaining(const std::string& fragment, const std::string& level = "") const;
    // Index of the first line count() would match, or -1.
    long indexOf(const std::string& text, const std::string& level = "") const;
    void clear();
    std::string dump() const;
    void record(LoggedLine line);

private:
    std::vector<long> find(const std::string& level, const std::function<bool(const std::string&)>& match) const;

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

// The log file as it is now, in the logger's fallback layout.
class ProgramLog : public LogLines {
public:
    ProgramLog();
};

void clearProgramLog();  // the next run starts a fresh file

std::string stripLogPrefix(const std::string& message);
