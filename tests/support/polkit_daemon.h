// The real polkitd on the private bus (made after it), seeing only our action
// file and the given rules, and recording every question. It admits uid 0
// whatever the rules say: ask about another uid to see a refusal.
#pragma once

#include <string>
#include <vector>

#include "support/bus_client.h"
#include "support/run_process.h"

// Rules that answer our action as setAnswer() last said.
extern const char kAnswerFileRules[];

enum class PolkitAnswer { Authorised, Challenged, Refused };

class PolkitDaemon {
public:
    explicit PolkitDaemon(const std::string& rules = kAnswerFileRules);
    ~PolkitDaemon();
    PolkitDaemon(const PolkitDaemon&) = delete;
    PolkitDaemon& operator=(const PolkitDaemon&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    void setAnswer(PolkitAnswer answer);  // for kAnswerFileRules
    // Oldest first, as renderArgs shows them.
    std::vector<std::string> queries();

private:
    ChildProcess m_daemon;
    BusClient m_monitor;  // a bus monitor once polkitd is up
    std::vector<std::string> m_queries;
    std::string m_error;
};
