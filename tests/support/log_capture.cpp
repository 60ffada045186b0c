#include "support/log_capture.h"

#include <unistd.h>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <fstream>

#include "common/logger.h"
#include "common/paths.h"

namespace {

class CaptureAppender : public log4cpp::AppenderSkeleton {
public:
    CaptureAppender(const std::string& name, LogLines* owner) : AppenderSkeleton(name), m_owner(owner) {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        m_owner->record({log4cpp::Priority::getPriorityName(event.priority), event.categoryName, event.message});
    }

private:
    LogLines* m_owner;
};

}  // namespace

std::string stripLogPrefix(const std::string& message)
{
    const auto end = message.find("] ");
    return message.empty() || message[0] != '[' || end == std::string::npos ? message : message.substr(end + 2);
}

void LogLines::record(LoggedLine line)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.push_back(std::move(line));
}

std::vector<LoggedLine> LogLines::lines() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

std::vector<long> LogLines::find(const std::string& level, const std::function<bool(const std::string&)>& match) const
{
    std::vector<long> found;
    const auto all = lines();
    for (size_t i = 0; i < all.size(); ++i) {
        if ((level.empty() || all[i].level == level) && match(all[i].message)) {
            found.push_back(static_cast<long>(i));
        }
    }
    return found;
}

size_t LogLines::count(const std::string& text, const std::string& level) const
{
    return find(level, [&](const std::string& message) { return stripLogPrefix(message) == text; }).size();
}

long LogLines::indexOf(const std::string& text, const std::string& level) const
{
    const auto found = find(level, [&](const std::string& message) { return stripLogPrefix(message) == text; });
    return found.empty() ? -1 : found.front();
}

size_t LogLines::countContaining(const std::string& fragment, const std::string& level) const
{
    return find(level, [&](const std::string& message) { return message.find(fragment) != std::string::npos; }).size();
}

void LogLines::clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

std::string LogLines::dump() const
{
    std::string out;
    for (const auto& line : lines()) {
        out += line.level + " " + line.category + " " + line.message + "\n";
    }
    return out;
}

LogCapture::LogCapture()
{
    Logger::getInstance();  // the logger configures log4cpp before we attach
    log4cpp::Category& root = log4cpp::Category::getRoot();
    m_oldRootPriority = root.getPriority();
    root.setPriority(log4cpp::Priority::DEBUG);
    m_rootAppender = new CaptureAppender("testCaptureRoot", this);
    root.addAppender(m_rootAppender);
    m_infoAppender = new CaptureAppender("testCaptureInfo", this);
    log4cpp::Category::getInstance("INFO").addAppender(m_infoAppender);
}

LogCapture::~LogCapture()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAppender(m_rootAppender);
    log4cpp::Category::getInstance("INFO").removeAppender(m_infoAppender);
    root.setPriority(m_oldRootPriority);
}

ProgramLog::ProgramLog()
{
    std::ifstream in(paths::kLogFile);
    // "<date> <time> <thread> [LEVEL] [function:line] message "
    for (std::string line; std::getline(in, line);) {
        const auto open = line.find(" [");
        const auto close = open == std::string::npos ? open : line.find("] ", open);
        if (close != std::string::npos) {
            std::string message = line.substr(close + 2);
            if (!message.empty() && message.back() == ' ') {
                message.pop_back();
            }
            record({line.substr(open + 2, close - open - 2), "", message});
        }
    }
}

void clearProgramLog() { unlink(paths::kLogFile); }
