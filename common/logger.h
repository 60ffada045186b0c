// Process-wide logger over log4cpp. Every line reads "[function:line] message".
#pragma once

#include <cstdarg>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <log4cpp/Priority.hh>

namespace log4cpp {
class Category;
}

class Logger {
public:
    static Logger* getInstance();

    // Configures log4cpp from the given properties file and nothing else.
    explicit Logger(const std::string& propertiesPath);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void logDebug(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logInfo(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logWarn(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logError(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    void logFatal(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    // Milestones of the daemon and its jobs, on the category "INFO".
    void logInfoCategory(const char* func, int line, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    // Each message written as LOG_INFO("%s", message) would write it, the
    // lot with one hand-over to the log files.
    void logInfoLines(const char* func, int line, const std::vector<std::string>& messages);

    // True when a message of this log4cpp priority would be written by root.
    bool isEnabled(int priority) const;
    // True when logInfoCategory would write its message.
    bool isInfoCategoryEnabled() const;

    // While one is open, the lines the opening thread logs wait in it and
    // are handed over together, in their order, when it closes (also when
    // an exception unwinds it), with the time of the hand-over: a thread
    // that answers someone first logs after. Lines of other threads go out
    // as ever; one opened inside an open one joins it.
    class Hold {
    public:
        Hold();
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
    };

private:
    Logger();
    void write(log4cpp::Category* category, int priority, const char* func, int line, const char* fmt,
               va_list args);
    // One line for deliver: its priority and its message, prefix + text.
    struct Line {
        int priority;
        std::string_view prefix;
        std::string_view text;
    };
    // Lays out each line and writes the lot.
    void deliver(log4cpp::Category* category, const Line* lines, size_t count);
    // Hands over what the calling thread's hold has kept.
    void releaseHeld();
    // Where logInfoCategory writes.
    log4cpp::Category* infoCategory() const;

    std::map<std::string, log4cpp::Category*> categories;
    log4cpp::Category* root;
    // log4cpp locks per category, not per appender: a properties file may hand
    // one appender to both root and "INFO", so writes are serialised here.
    // Lines are laid out before it is taken; only the writes happen under it,
    // and a batch for one plain file opened for appending does without it.
    std::mutex writeLock;
};

// The level is asked before the arguments are worked out: a line that is not
// written costs no escaping or formatting of its fields.
#define VETU_LOG_IF(func, enabled, method, ...)                                \
    do {                                                                       \
        Logger* const vetuLogger_ = Logger::getInstance();                     \
        if (vetuLogger_->enabled) {                                            \
            vetuLogger_->method(func, __LINE__, __VA_ARGS__);                  \
        }                                                                      \
    } while (0)
#define VETU_LOG_NAMED(func, priority, method, ...) VETU_LOG_IF(func, isEnabled(priority), method, __VA_ARGS__)
// The priority of each log method, for macros that name the method: Debug
// for logDebug and so on.
namespace log_priority {
constexpr int Debug = log4cpp::Priority::DEBUG;
constexpr int Info = log4cpp::Priority::INFO;
constexpr int Warn = log4cpp::Priority::WARN;
constexpr int Error = log4cpp::Priority::ERROR;
constexpr int Fatal = log4cpp::Priority::FATAL;
}  // namespace log_priority
#define VETU_LOG_AT(priority, method, ...) VETU_LOG_NAMED(__FUNCTION__, priority, method, __VA_ARGS__)
#define LOG_DEBUG(...) VETU_LOG_AT(log4cpp::Priority::DEBUG, logDebug, __VA_ARGS__)
#define LOG_INFO(...) VETU_LOG_AT(log4cpp::Priority::INFO, logInfo, __VA_ARGS__)
#define LOG_WARN(...) VETU_LOG_AT(log4cpp::Priority::WARN, logWarn, __VA_ARGS__)
#define LOG_ERROR(...) VETU_LOG_AT(log4cpp::Priority::ERROR, logError, __VA_ARGS__)
#define LOG_FATAL(...) VETU_LOG_AT(log4cpp::Priority::FATAL, logFatal, __VA_ARGS__)
#define LOG_INFO_LINES(messages) VETU_LOG_AT(log4cpp::Priority::INFO, logInfoLines, messages)
#define LOG_INFO_CATEGORY(...) VETU_LOG_IF(__FUNCTION__, isInfoCategoryEnabled(), logInfoCategory, __VA_ARGS__)
