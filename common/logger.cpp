#include "common/logger.h"
#include "common/path_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string_view>
#include <set>
#include <vector>
#include <stdexcept>
#include <typeinfo>

#include <log4cpp/BasicLayout.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/DailyRollingFileAppender.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/NDC.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <log4cpp/SimpleLayout.hh>
#include <log4cpp/TimeStamp.hh>

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
    log4cpp::Layout* layout = nullptr;
    int threshold = log4cpp::Priority::NOTSET;
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
    log4cpp::Layout& layout = (file->*FileAppenderParts::kLayout)();
    const std::type_info& layoutType = typeid(layout);
    if (layoutType != typeid(log4cpp::PatternLayout) && layoutType != typeid(log4cpp::BasicLayout) &&
        layoutType != typeid(log4cpp::SimpleLayout)) {
        return false;
    }
    target.appender = file;
    target.rolling = rolling ? static_cast<log4cpp::RollingFileAppender*>(file) : nullptr;
    target.layout = &layout;
    target.threshold = file->getThreshold();
    return true;
}

// The appenders log4cpp calls for a line of the category, in its order,
// until visit returns false.
template <typename Visit>
void forEachAppender(log4cpp::Category* category, Visit visit)
{
    for (log4cpp::Category* c = category; c != nullptr; c = c->getAdditivity() ? c->getParent() : nullptr) {
        for (log4cpp::Appender* appender : c->getAllAppenders()) {
            if (!visit(appender)) {
                return;
            }
        }
    }
}

// A rolling appender opens its file anew at a rollover without
// close-on-exec; after log4cpp's own writes the descriptor is marked again.
void closeRolledFilesOnExec(log4cpp::Category* category)
{
    forEachAppender(category, [](log4cpp::Appender* appender) {
        if (dynamic_cast<log4cpp::RollingFileAppender*>(appender) != nullptr ||
            dynamic_cast<log4cpp::DailyRollingFileAppender*>(appender) != nullptr) {
            fcntl(static_cast<log4cpp::FileAppender*>(appender)->*FileAppenderParts::kFd, F_SETFD, FD_CLOEXEC);
        }
        return true;
    });
}

// What the appender does line by line, a run of lines per write: a rolling
// file rolls over right after the line that takes it to its limit.
void writeTarget(const FileTarget& target)
{
    if (target.text.empty()) {
        return;
    }
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

void appendPrefix(std::string& out, const char* func, int line)
{
    char number[16];
    const auto end = std::to_chars(number, number + sizeof(number), line).ptr;
    out.append("[").append(func).append(":").append(number, end).append("] ");
}

// Conversions of a pattern whose text is the same for every line of one
// millisecond on one thread at one priority, around a message written as it
// is; a pattern with any other (clock ticks, a conversion this list does not
// know, a width or precision on the message, which pads or cuts some
// messages and not others) is laid out line by line.
bool isMillisecondPattern(const std::string& pattern)
{
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            continue;
        }
        const size_t modifier = ++i;
        while (i < pattern.size() && std::strchr("-.0123456789", pattern[i]) != nullptr && pattern[i] != '\0') {
            ++i;
        }
        if (i == pattern.size() || std::strchr("cdmnprRtx%", pattern[i]) == nullptr) {
            return false;
        }
        if (pattern[i] == 'm' && i != modifier) {
            return false;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '{') {
            i = pattern.find('}', i);
            if (i == std::string::npos) {
                return false;
            }
        }
    }
    return true;
}

// A layout's text around the message of a line, as log4cpp lays it out for
// one millisecond on the calling thread. Laying a line out through log4cpp
// (an event with its copies, string streams, the time zone's lock) costs
// more than writing it; this does it once per millisecond and splices each
// line's message in. A layout that is not plain text around the message
// is checked once and then laid out by log4cpp line by line.
class LineFrames {
public:
    // The frame of this layout for the category, priority and time; null
    // when lines must be laid out one by one.
    const std::pair<std::string, std::string>* frame(log4cpp::Layout& layout, const std::string& category,
                                                      int priority, const timespec& now)
    {
        const long millisecond = now.tv_nsec / 1000000;
        Frame* found = nullptr;
        for (auto& known : m_frames) {
            if (known.layout == &layout && known.category == &category && known.priority == priority) {
                found = &known;
                break;
            }
        }
        if (found == nullptr) {
            m_frames.emplace_back();
            found = &m_frames.back();
            found->layout = &layout;
            found->category = &category;
            found->priority = priority;
            found->spliceable = isSpliceable(layout);
        }
        if (!found->spliceable) {
            return nullptr;
        }
        if (!found->made || found->second != now.tv_sec || found->millisecond != millisecond) {
            std::string before;
            std::string after;
            if (!layOut(layout, category, priority, now.tv_sec, millisecond, kSentinel, before, after)) {
                found->spliceable = false;
                return nullptr;
            }
            found->text = {std::move(before), std::move(after)};
            found->second = now.tv_sec;
            found->millisecond = millisecond;
            found->made = true;
        }
        return &found->text;
    }

private:
    static constexpr const char* kSentinel = "\x1f" "vetu-line-frame-a\x1f";

    struct Frame {
        const log4cpp::Layout* layout = nullptr;
        const std::string* category = nullptr;
        int priority = 0;
        bool spliceable = false;
        bool made = false;
        time_t second = 0;
        long millisecond = 0;
        std::pair<std::string, std::string> text;
    };

    // The layout's text of an event with the given message and time, cut
    // around the message; false when the message is not found whole.
    static bool layOut(log4cpp::Layout& layout, const std::string& category, int priority, time_t second,
                       long millisecond, const std::string& message, std::string& before, std::string& after)
    {
        log4cpp::LoggingEvent event(category, message, log4cpp::NDC::get(), priority);
        event.timeStamp = log4cpp::TimeStamp(static_cast<unsigned>(second), static_cast<unsigned>(millisecond * 1000));
        const std::string text = layout.format(event);
        const size_t at = text.find(message);
        if (at == std::string::npos || text.find(message, at + 1) != std::string::npos) {
            return false;
        }
        before = text.substr(0, at);
        after = text.substr(at + message.size());
        return true;
    }

    // Whether the layout leaves the message as it is; a message that
    // comes out other than once is found when the frame is first made.
    static bool isSpliceable(log4cpp::Layout& layout)
    {
        const std::type_info& type = typeid(layout);
        if (type == typeid(log4cpp::PatternLayout)) {
            return isMillisecondPattern(static_cast<log4cpp::PatternLayout&>(layout).getConversionPattern());
        }
        return type == typeid(log4cpp::BasicLayout) || type == typeid(log4cpp::SimpleLayout);
    }

    std::vector<Frame> m_frames;
};

// The message of a level call, "[function:line] " and the formatted text,
// into out (whose memory is reused).
void formatMessage(std::string& out, const char* func, int line, const char* fmt, va_list args)
{
    out.clear();
    appendPrefix(out, func, line);
    const size_t prefix = out.size();
    out.resize(prefix + 256);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(&out[prefix], out.size() - prefix + 1, fmt, copy);
    va_end(copy);
    if (length < 0) {
        out.resize(prefix);
        return;
    }
    if (static_cast<size_t>(length) > out.size() - prefix) {
        out.resize(prefix + static_cast<size_t>(length));
        vsnprintf(&out[prefix], static_cast<size_t>(length) + 1, fmt, args);
    }
    out.resize(prefix + static_cast<size_t>(length));
}

// Every file appender of every category log4cpp knows.
template <typename Visit>
void forEachFileAppender(Visit visit)
{
    const std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *all) {
        for (log4cpp::Appender* appender : category->getAllAppenders()) {
            if (auto* file = dynamic_cast<log4cpp::FileAppender*>(appender)) {
                visit(*file);
            }
        }
    }
}

// log4cpp opens its files without close-on-exec: the programs the daemon
// starts must not inherit them.
void closeLogFilesOnExec()
{
    forEachFileAppender([](log4cpp::FileAppender& file) { fcntl(file.*FileAppenderParts::kFd, F_SETFD, FD_CLOEXEC); });
}

void narrowCreationModes()
{
    forEachFileAppender([](log4cpp::FileAppender& file) { file.*FileAppenderParts::kMode = kLogFileMode; });
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

// Lines kept by the calling thread's open hold. Their strings keep their
// memory from one hold to the next.
struct HeldLine {
    log4cpp::Category* category = nullptr;
    int priority = 0;
    std::string message;
};

struct HeldLines {
    int depth = 0;
    size_t used = 0;
    std::vector<HeldLine> lines;

    // The next free line; counted as held once filled, through keep().
    HeldLine& slot()
    {
        if (used == lines.size()) {
            lines.emplace_back();
        }
        return lines[used];
    }
    void keep(log4cpp::Category* category, int priority)
    {
        lines[used].category = category;
        lines[used].priority = priority;
        ++used;
    }
};

thread_local HeldLines t_held;

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

bool Logger::isInfoCategoryEnabled() const
{
    return infoCategory()->isPriorityEnabled(log4cpp::Priority::INFO);
}

// Without a configuration there is no "INFO" category: milestones go to
// root, whose fallback threshold is INFO, so they still reach the file.
log4cpp::Category* Logger::infoCategory() const
{
    const auto it = categories.find(kInfoCategory);
    return it != categories.end() ? it->second : root;
}

void Logger::write(log4cpp::Category* category, int priority, const char* func, int line, const char* fmt,
                   va_list args)
{
    if (!category->isPriorityEnabled(priority)) {
        return;
    }
    thread_local std::string message;
    try {
        if (t_held.depth > 0) {
            formatMessage(t_held.slot().message, func, line, fmt, args);
            t_held.keep(category, priority);
            return;
        }
        formatMessage(message, func, line, fmt, args);
    } catch (const std::exception&) {
        return;  // a line that cannot be built is dropped; logging never throws
    }
    const Line one{priority, std::string_view(), message};
    deliver(category, &one, 1);
}

void Logger::logInfoLines(const char* func, int line, const std::vector<std::string>& messages)
{
    if (messages.empty() || !root->isPriorityEnabled(log4cpp::Priority::INFO)) {
        return;
    }
    thread_local std::string prefix;
    thread_local std::vector<Line> lines;
    try {
        prefix.clear();
        appendPrefix(prefix, func, line);
        if (t_held.depth > 0) {
            for (const auto& message : messages) {
                t_held.slot().message.assign(prefix).append(message);
                t_held.keep(root, log4cpp::Priority::INFO);
            }
            return;
        }
        lines.clear();
        for (const auto& message : messages) {
            lines.push_back({log4cpp::Priority::INFO, prefix, message});
        }
    } catch (const std::exception&) {
        return;
    }
    deliver(root, lines.data(), lines.size());
}

Logger::Hold::Hold()
{
    ++t_held.depth;
}

Logger::Hold::~Hold()
{
    if (--t_held.depth == 0 && t_held.used > 0) {
        Logger::getInstance()->releaseHeld();
    }
}

// A run of lines of one category is one hand-over.
void Logger::releaseHeld()
{
    thread_local std::vector<Line> lines;
    size_t begin = 0;
    while (begin < t_held.used) {
        log4cpp::Category* category = t_held.lines[begin].category;
        size_t end = begin;
        try {
            lines.clear();
            for (; end < t_held.used && t_held.lines[end].category == category; ++end) {
                lines.push_back({t_held.lines[end].priority, std::string_view(), t_held.lines[end].message});
            }
        } catch (const std::exception&) {
            // What fitted goes out; the rest follows in the next run.
        }
        if (end == begin) {
            break;  // not even one line: nothing can be written now
        }
        deliver(category, lines.data(), end - begin);
        begin = end;
    }
    t_held.used = 0;
}

// log4cpp would build an event per line and lay it out with each appender's
// layout under its locks; here the lines are laid out on the caller's thread
// (its time and thread id are the event's) into one text per file, and the
// lock is taken once for the writes of the whole batch.
void Logger::deliver(log4cpp::Category* category, const Line* lines, size_t count)
{
    thread_local LineFrames frames;
    thread_local std::vector<FileTarget> targets;
    try {
        // The appenders log4cpp would call, in its order.
        // The texts keep their memory from one call to the next.
        size_t used = 0;
        bool direct = log4cpp::NDC::get().empty();
        if (direct) {
            forEachAppender(category, [&](log4cpp::Appender* appender) {
                if (used == targets.size()) {
                    targets.emplace_back();
                }
                FileTarget& target = targets[used++];
                target.text.clear();
                target.lineEnds.clear();
                direct = asFileTarget(appender, target);
                return direct;
            });
        }
        // Anything else (no appender at all included) is left to log4cpp.
        if (!direct || used == 0) {
            std::vector<log4cpp::LoggingEvent> events;
            events.reserve(count);
            for (size_t i = 0; i < count; ++i) {
                events.emplace_back(category->getName(), std::string(lines[i].prefix).append(lines[i].text),
                                    log4cpp::NDC::get(), lines[i].priority);
            }
            std::lock_guard<std::mutex> guard(writeLock);
            for (const auto& event : events) {
                category->callAppenders(event);
            }
            closeRolledFilesOnExec(category);
            return;
        }
        const std::string& name = category->getName();
        for (size_t i = 0; i < count; ++i) {
            const Line& line = lines[i];
            // One time for the line in every file, as log4cpp stamps one
            // event for all its appenders.
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            for (size_t t = 0; t < used; ++t) {
                FileTarget& target = targets[t];
                if (target.threshold != log4cpp::Priority::NOTSET && line.priority > target.threshold) {
                    continue;
                }
                log4cpp::Layout& layout = *target.layout;
                if (const auto* frame = frames.frame(layout, name, line.priority, now)) {
                    target.text.append(frame->first).append(line.prefix).append(line.text).append(frame->second);
                } else {
                    log4cpp::LoggingEvent event(name, std::string(line.prefix).append(line.text),
                                                log4cpp::NDC::get(), line.priority);
                    event.timeStamp = log4cpp::TimeStamp(static_cast<unsigned>(now.tv_sec),
                                                         static_cast<unsigned>(now.tv_nsec / 1000));
                    target.text += layout.format(event);
                }
                target.lineEnds.push_back(target.text.size());
            }
        }
        // One file opened for appending takes each batch in one write(2),
        // which the kernel appends whole: no lock. Several files keep one
        // order across them, and a rolling file rolls over under the lock.
        bool serialise = used > 1;
        for (size_t t = 0; t < used && !serialise; ++t) {
            serialise = targets[t].rolling != nullptr || !targets[t].appender->getAppend();
        }
        std::unique_lock<std::mutex> guard(writeLock, std::defer_lock);
        if (serialise) {
            guard.lock();
        }
        for (size_t t = 0; t < used; ++t) {
            writeTarget(targets[t]);
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
    va_list args;
    va_start(args, fmt);
    write(infoCategory(), log4cpp::Priority::INFO, func, line, fmt, args);
    va_end(args);
}
