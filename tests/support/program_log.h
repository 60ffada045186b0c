// Reads the log file the executable under test wrote (the logger's fallback
// layout, used when the sandbox holds no properties file).
#pragma once

#include <string>
#include <vector>

#include "support/log_capture.h"

class ProgramLog {
public:
    // Parses /var/log/vetu/vetu_label_manager.log as it is now.
    ProgramLog();

    const std::vector<LoggedLine>& lines() const { return m_lines; }
    // Lines whose message after "[function:line] " equals text.
    size_t count(const std::string& text, const std::string& level = "") const;
    bool has(const std::string& text, const std::string& level = "") const { return count(text, level) > 0; }
    // Lines whose message contains the fragment anywhere.
    size_t countContaining(const std::string& fragment, const std::string& level = "") const;
    // Index of the first matching line, or -1; for order checks.
    long indexOf(const std::string& text, const std::string& level = "") const;
    std::string dump() const { return m_raw; }

private:
    std::vector<LoggedLine> m_lines;
    std::string m_raw;
};

// Removes the log file, so that a following run starts a fresh one.
void clearProgramLog();
