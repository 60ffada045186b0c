#include "support/program_log.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/paths.h"

ProgramLog::ProgramLog()
{
    std::ifstream in(paths::kLogFile);
    std::ostringstream all;
    all << in.rdbuf();
    m_raw = all.str();
    std::istringstream lines(m_raw);
    std::string line;
    // "<date> <time> <thread> [LEVEL] [function:line] message "
    while (std::getline(lines, line)) {
        const auto open = line.find(" [");
        const auto close = open == std::string::npos ? open : line.find("] ", open);
        if (close == std::string::npos) {
            continue;
        }
        LoggedLine parsed;
        parsed.level = line.substr(open + 2, close - open - 2);
        parsed.message = line.substr(close + 2);
        if (!parsed.message.empty() && parsed.message.back() == ' ') {
            parsed.message.pop_back();
        }
        m_lines.push_back(std::move(parsed));
    }
}

size_t ProgramLog::count(const std::string& text, const std::string& level) const
{
    size_t n = 0;
    for (const auto& line : m_lines) {
        if ((level.empty() || line.level == level) && stripLogPrefix(line.message) == text) {
            ++n;
        }
    }
    return n;
}

size_t ProgramLog::countContaining(const std::string& fragment, const std::string& level) const
{
    size_t n = 0;
    for (const auto& line : m_lines) {
        if ((level.empty() || line.level == level) && line.message.find(fragment) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

long ProgramLog::indexOf(const std::string& text, const std::string& level) const
{
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if ((level.empty() || m_lines[i].level == level) && stripLogPrefix(m_lines[i].message) == text) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

void clearProgramLog()
{
    unlink(paths::kLogFile);
}
