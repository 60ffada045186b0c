#include "common/logger.h"
#include "common/path_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <vector>
#include <stdexcept>
#include <typeinfo>

#include <log4cpp/BasicLayout.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/NDC.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <log4cpp/SimpleLayout.hh>

#include "common/file_utils.h"
#include "common/paths.h"

namespace {

constexpr const char kInfoCategory[] = "INFO";
constexpr mode_t kLogFileMode = 0640;
constexpr const char kFallbackPattern[] = "%d{%Y-%m-%d %H:%M:%S.%l} %t [%p] %m %n";

std::string trimBlanks(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file names of the appenders, so that their modes can be narrowed.
std::set<std::string> collectLogFileNames(const char* propertiesPath)
{
    std::set<std::string> names;
    std::ifstream in(propertiesPath);
    if (!in.is_open()) {
        std::cerr << "Failed to open config file: " << propertiesPath << std::endl;
        return names;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = trimBlanks(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = trimBlanks(line.substr(0, eq));
        const std::string value = trimBlanks(line.substr(eq + 1));
        if (startsWith(key, "log4cpp.appender.") && endsWith(key, ".fileName") && !value.empty()) {
            names.insert(value);
        }
    }
    return names;
}

// Protected parts of log4cpp's file appenders; a member pointer taken in a
// derived class reaches them without a cast. log4cpp creates the files of
// configured appenders 0644, and a rolling appender creates its file anew at
// every rollover: the mode is narrowed through kMode. kFd and kLayout let
// the logger format lines outside its lock and write a batch at once.
struct FileAppenderParts : log4cpp::FileAppender {
    static constexpr mode_t log4cpp::FileAppender::*kMode = &FileAppenderParts::_mode;
    static constexpr int log4cpp::FileAppender::*kFd = &FileAppenderParts::_fd;
    static constexpr log4cpp::Layout& (log4cpp::LayoutAppender::*kLayout)() = &FileAppenderParts::_getLayout;
};

// One file appender's share of a batch: the lines as its layout renders them.
struct FileTarget {
    log4cpp::FileAppender* appender = nullptr;
    log4cpp::RollingFileAppender* rolling = nullptr;  // null for a plain file
    std::string text;
    std::vector<size_t> lineEnds;  // offsets in text where each line ends
};

// A file appender with one of log4cpp's own layouts (which keep no state
// while formatting) and no filter can be written without log4cpp's help;
// false for any other appender.
bool asFileTarget(log4cpp::Appender* appender, FileTarget& target)
{
    const std::type_info& type = typeid(*appender);
    const bool rolling = type == typeid(log4cpp::RollingFileAppender);
    if (!rolling && type != typeid(log4cpp::FileAppender)) {
        return false;
    }
    auto* file = static_cast<log4cpp::FileAppender*>(appender);
    if (file->getFilter() != nullptr) {
        return false;
    }
    const std::type_info& layout = typeid((file->*FileAppenderParts::kLayout)());
    if (layout != typeid(log4cpp::PatternLayout) && layout != typeid(log4cpp::BasicLayout) &&
        layout != typeid(log4cpp::SimpleLayout)) {
        return false;
    }
    target.appender = file;
    target.rolling = rolling ? static_cast<log4cpp::RollingFileAppender*>(file) : nullptr;
    return true;
}

// What the appender does line by line, a run of lines per write: a rolling
// file rolls over right after the line that takes it to its limit.
void writeTarget(const FileTarget& target)
{
    int fd = target.appender->*FileAppenderParts::kFd;
    if (target.rolling == nullptr) {
        writeAll(fd, target.text.data(), target.text.size());
        return;
    }
    const size_t limit = target.rolling->getMaxFileSize();
    off_t offset = lseek(fd, 0, SEEK_END);
    size_t begin = 0;
    for (const size_t end : target.lineEnds) {
        if (offset < 0 || static_cast<size_t>(offset) + (end - begin) < limit) {
            continue;
        }
        writeAll(fd, target.text.data() + begin, end - begin);
        target.rolling->rollOver();
        fd = target.appender->*FileAppenderParts::kFd;
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        offset = lseek(fd, 0, SEEK_END);
        begin = end;
    }
    writeAll(fd, target.text.data() + begin, target.text.size() - begin);
}

std::string formatMessage(const char* fmt, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(small, sizeof(small), fmt, copy);
    va_end(copy);
    if (length < 0) {
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof(small)) {
        return std::string(small, static_cast<size_t>(length));
    }
    std::string message(static_cast<size_t>(length), '\0');
    vsnprintf(&message[0], message.size() + 1, fmt, args);
    return message;
}

// log4cpp opens its files without close-on-exec: the programs the daemon
// starts must not inherit them.
void closeLogFilesOnExec()
{
    const std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *all) {
        for (log4cpp::Appender* appender : category->getAllAppenders()) {
            if (auto* file = dynamic_cast<log4cpp::FileAppender*>(appender)) {
                fcntl(file->*FileAppenderParts::kFd, F_SETFD, FD_CLOEXEC);
            }
        }
    }
}

void narrowCreationModes()
{
    const std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *all) {
        for (log4cpp::Appender* appender : category->getAllAppenders()) {
            if (auto* file = dynamic_cast<log4cpp::FileAppender*>(appender)) {
                file->*FileAppenderParts::kMode = kLogFileMode;
            }
        }
    }
}

// The configurator may fail after it has set up some categories; the
// fallback must not also write through what the broken file defined.
void forgetPartialConfiguration()
{
    const std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *all) {
        category->removeAllAppenders();
        category->setAdditivity(true);
        if (category != &log4cpp::Category::getRoot()) {
            category->setPriority(log4cpp::Priority::NOTSET);
        }
    }
}

void narrowLogFileModes(const std::set<std::string>& names)
{
    for (const auto& name : names) {
        if (chmod(name.c_str(), kLogFileMode) != 0 && errno != ENOENT) {
            std::cerr << "chmod failed for " << name << ": " << strerror(errno) << std::endl;
        }
    }
}

}  // namespace

Logger* Logger::getInstance()
{
    static Logger instance;
    return &instance;
}

Logger::Logger() : root(&log4cpp::Category::getRoot())
{
    try {
        const auto names = collectLogFileNames(paths::kLogProperties);
        log4cpp::PropertyConfigurator::configure(paths::kLogProperties);
        narrowCreationModes();
        if (!names.empty()) {
            narrowLogFileModes(names);
        }
        log4cpp::Category& info = log4cpp::Category::getInstance(kInfoCategory);
        info.setAdditivity(false);
        categories[kInfoCategory] = &info;
    } catch (const std::runtime_error&) {
        std::cout << "read log config error." << std::endl;
        categories.clear();
        forgetPartialConfiguration();
        auto* appender = new log4cpp::FileAppender("rootAppender", paths::kLogFile, true, 0644);
        auto* layout = new log4cpp::PatternLayout();
        layout->setConversionPattern(kFallbackPattern);
        appender->setLayout(layout);
        root->setPriority(log4cpp::Priority::INFO);
        root->addAppender(appender);
    }
    closeLogFilesOnExec();
}

Logger::Logger(const std::string& propertiesPath) : root(&log4cpp::Category::getRoot())
{
    log4cpp::PropertyConfigurator::configure(propertiesPath);
}

Logger::~Logger()
{
    log4cpp::Category::shutdown();
}

bool Logger::isEnabled(int priority) const
{
    return root->isPriorityEnabled(priority);
}

void Logger::write(log4cpp::Category* category, int priority, const char* func, int line, const char* fmt,
                   va_list args)
{
    if (!category->isPriorityEnabled(priority)) {
        return;
    }
    deliver(category, priority, func, line, {formatMessage(fmt, args)});
}

void Logger::logInfoLines(const char* func, int line, const std::vector<std::string>& messages)
{
    deliver(root, log4cpp::Priority::INFO, func, line, messages);
}

// log4cpp would build the event and render it with each appender's layout
// under its locks; here both happen on the caller's thread (its time and
// thread id are the event's), and only the writes wait for the lock.
void Logger::deliver(log4cpp::Category* category, int priority, const char* func, int line,
                     const std::vector<std::string>& messages)
{
    if (messages.empty() || !category->isPriorityEnabled(priority)) {
        return;
    }
    try {
        const std::string prefix = "[" + std::string(func) + ":" + std::to_string(line) + "] ";
        const std::string& ndc = log4cpp::NDC::get();
        std::vector<log4cpp::LoggingEvent> events;
        events.reserve(messages.size());
        for (const auto& message : messages) {
            events.emplace_back(category->getName(), prefix + message, ndc, priority);
        }
        // The appenders log4cpp would call, in its order.
        std::vector<FileTarget> targets;
        bool direct = true;
        for (log4cpp::Category* c = category; c != nullptr && direct;
             c = c->getAdditivity() ? c->getParent() : nullptr) {
            for (log4cpp::Appender* appender : c->getAllAppenders()) {
                targets.emplace_back();
                if (!asFileTarget(appender, targets.back())) {
                    direct = false;
                    break;
                }
            }
        }
        // Anything else (no appender at all included) is left to log4cpp.
        if (!direct || targets.empty()) {
            std::lock_guard<std::mutex> guard(writeLock);
            for (const auto& event : events) {
                category->callAppenders(event);
            }
            return;
        }
        for (auto& target : targets) {
            log4cpp::Layout& layout = (target.appender->*FileAppenderParts::kLayout)();
            const int threshold = target.appender->getThreshold();
            for (const auto& event : events) {
                if (threshold == log4cpp::Priority::NOTSET || event.priority <= threshold) {
                    target.text += layout.format(event);
                    target.lineEnds.push_back(target.text.size());
                }
            }
        }
        std::lock_guard<std::mutex> guard(writeLock);
        for (const auto& target : targets) {
            writeTarget(target);
        }
    } catch (const std::exception&) {
        // A line that cannot be built is dropped; logging never throws.
    }
}

#define VETU_LOGGER_LEVEL_CALL(name, category, priority)                     \
    void Logger::name(const char* func, int line, const char* fmt, ...)      \
    {                                                                        \
        va_list args;                                                        \
        va_start(args, fmt);                                                 \
        write(category, priority, func, line, fmt, args);                    \
        va_end(args);                                                        \
    }

VETU_LOGGER_LEVEL_CALL(logDebug, root, log4cpp::Priority::DEBUG)
VETU_LOGGER_LEVEL_CALL(logInfo, root, log4cpp::Priority::INFO)
VETU_LOGGER_LEVEL_CALL(logWarn, root, log4cpp::Priority::WARN)
VETU_LOGGER_LEVEL_CALL(logError, root, log4cpp::Priority::ERROR)
VETU_LOGGER_LEVEL_CALL(logFatal, root, log4cpp::Priority::FATAL)

void Logger::logInfoCategory(const char* func, int line, const char* fmt, ...)
{
    // Without a configuration there is no "INFO" category: milestones go to
    // root, whose fallback threshold is INFO, so they still reach the file.
    const auto it = categories.find(kInfoCategory);
    log4cpp::Category* category = it != categories.end() ? it->second : root;
    va_list args;
    va_start(args, fmt);
    write(category, log4cpp::Priority::INFO, func, line, fmt, args);
    va_end(args);
}
