#include "support/log_capture.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "common/logger.h"

namespace {

class CaptureAppender : public log4cpp::AppenderSkeleton {
public:
    CaptureAppender(const std::string& name, LogCapture* owner) : AppenderSkeleton(name), m_owner(owner) {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        m_owner->record({log4cpp::Priority::getPriorityName(event.priority), event.categoryName, event.message});
    }

private:
    LogCapture* m_owner;
};

}  // namespace

std::string stripLogPrefix(const std::string& message)
{
    if (message.empty() || message[0] != '[') {
        return message;
    }
    const auto end = message.find("] ");
    return end == std::string::npos ? message : message.substr(end + 2);
}

LogCapture::LogCapture()
{
    Logger::getInstance();  // the logger configures log4cpp before we attach
    log4cpp::Category& root = log4cpp::Category::getRoot();
    m_oldRootPriority = root.getPriority();
    root.setPriority(log4cpp::Priority::DEBUG);
    m_rootAppender = new CaptureAppender("testCaptureRoot", this);
    root.addAppender(m_rootAppender);
    log4cpp::Category& info = log4cpp::Category::getInstance("INFO");
    m_infoAppender = new CaptureAppender("testCaptureInfo", this);
    info.addAppender(m_infoAppender);
}

LogCapture::~LogCapture()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAppender(m_rootAppender);
    log4cpp::Category::getInstance("INFO").removeAppender(m_infoAppender);
    root.setPriority(m_oldRootPriority);
}

void LogCapture::record(LoggedLine line)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.push_back(std::move(line));
}

std::vector<LoggedLine> LogCapture::lines() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

size_t LogCapture::count(const std::string& text, const std::string& level) const
{
    size_t n = 0;
    for (const auto& line : lines()) {
        if ((level.empty() || line.level == level) && stripLogPrefix(line.message) == text) {
            ++n;
        }
    }
    return n;
}

size_t LogCapture::countContaining(const std::string& fragment, const std::string& level) const
{
    size_t n = 0;
    for (const auto& line : lines()) {
        if ((level.empty() || line.level == level) && line.message.find(fragment) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

std::string LogCapture::dump() const
{
    std::string out;
    for (const auto& line : lines()) {
        out += line.level + " " + line.category + " " + line.message + "\n";
    }
    return out;
}
