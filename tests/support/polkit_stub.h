// A polkit authority on the test's system bus (the program in
// support/polkit_stub/): answers as the test says and records every
// question. Construct it after the PrivateBus.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/run_process.h"

enum class PolkitAnswer {
    Authorised,  // (true, false, {})
    Challenged,  // (false, true, {})
    Refused,     // (false, false, {})
    Error,       // error reply org.freedesktop.PolicyKit1.Error.Failed
    Malformed,   // (true, false, "x"): the details are not a dictionary
};

struct PolkitQuery {
    std::string subjectKind;
    // Detail name -> its D-Bus type ("u", "t", "i") and its value in decimal.
    std::map<std::string, std::pair<std::string, std::string>> subjectDetails;
    std::string actionId;
};

class PolkitStub {
public:
    explicit PolkitStub(PolkitAnswer answer = PolkitAnswer::Authorised, double timeoutSeconds = 15);
    ~PolkitStub();
    PolkitStub(const PolkitStub&) = delete;
    PolkitStub& operator=(const PolkitStub&) = delete;

    bool ok() const { return m_ready; }  // owns its name
    void setAnswer(PolkitAnswer answer);  // for the next question
    std::vector<PolkitQuery> queries() const;  // oldest first

private:
    ChildProcess m_stub;
    bool m_ready = false;
    std::string m_dir;
    std::string m_answerPath;
    std::string m_logPath;
};
