// A polkit authority of our own on the test's system bus: owns
// "org.freedesktop.PolicyKit1" and answers CheckAuthorization at
// "/org/freedesktop/PolicyKit1/Authority" as the test says, recording every
// question. A program of its own (support/polkit_stub/) that dies with the
// test process. Construct it after the PrivateBus.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class PolkitAnswer {
    Authorised,  // (true, false, {})
    Challenged,  // (false, true, {})
    Refused,     // (false, false, {})
    Error,       // error reply org.freedesktop.PolicyKit1.Error.Failed
    Malformed,   // (true, false, "x"): the details are not a dictionary
};

struct PolkitQuery {
    std::string subjectKind;
    // Detail name -> its D-Bus type ("u", "t", "i", ...) and its value in decimal.
    std::map<std::string, std::pair<std::string, std::string>> subjectDetails;
    std::string actionId;
    size_t detailCount = 0;
    uint32_t flags = 0;
    std::string cancellationId;
};

class PolkitStub {
public:
    explicit PolkitStub(PolkitAnswer answer = PolkitAnswer::Authorised, double timeoutSeconds = 15);
    ~PolkitStub();
    PolkitStub(const PolkitStub&) = delete;
    PolkitStub& operator=(const PolkitStub&) = delete;

    // True once it owns its name.
    bool ok() const { return m_ready; }
    // Applies to the next question.
    void setAnswer(PolkitAnswer answer);
    // Every question so far, oldest first.
    std::vector<PolkitQuery> queries() const;
    void clearQueries();

private:
    pid_t m_pid = -1;
    bool m_ready = false;
    std::string m_dir;
    std::string m_answerPath;
    std::string m_logPath;
};
