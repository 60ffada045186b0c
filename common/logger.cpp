#include "common/logger.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <vector>
#include <stdexcept>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>

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

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
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

// log4cpp creates the files of configured appenders 0644, and a rolling
// appender creates its file anew at every rollover. The mode it creates with
// is a protected member of FileAppender; a member pointer taken in a derived
// class reaches it without a cast.
struct FileAppenderMode : log4cpp::FileAppender {
    static constexpr mode_t log4cpp::FileAppender::*kMode = &FileAppenderMode::_mode;
};

void narrowCreationModes()
{
    const std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *all) {
        for (log4cpp::Appender* appender : category->getAllAppenders()) {
            if (auto* file = dynamic_cast<log4cpp::FileAppender*>(appender)) {
                file->*FileAppenderMode::kMode = kLogFileMode;
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
    char composed[1024];
    snprintf(composed, sizeof(composed), "[%s:%d] %s", func, line, fmt);
    std::lock_guard<std::mutex> guard(writeLock);
    category->logva(priority, composed, args);
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
