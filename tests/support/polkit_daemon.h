// The real polkit daemon on the test's private bus, seeing only the given
// action file and rules (tmpfs over its folders). Construct it after the bus.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/run_process.h"

// Rules that answer our action yes for root and no for anyone else.
extern const char kRootOnlyRules[];

class PolkitDaemon {
public:
    // rules: the text of one JavaScript rules file.
    PolkitDaemon(const std::string& actionFile, const std::string& rules, double timeoutSeconds = 15);
    ~PolkitDaemon();
    PolkitDaemon(const PolkitDaemon&) = delete;
    PolkitDaemon& operator=(const PolkitDaemon&) = delete;

    bool ok() const { return m_ready; }  // owns its bus name; else error() says why
    const std::string& error() const { return m_error; }

private:
    bool prepare(const std::string& actionFile, const std::string& rules);

    ChildProcess m_daemon;
    bool m_ready = false;
    std::string m_error;
    std::vector<std::string> m_mounts;
};
