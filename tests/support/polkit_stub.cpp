#include "support/polkit_stub.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/run_process.h"

namespace {

constexpr double kStopSeconds = 5;

const char* answerText(PolkitAnswer answer)
{
    switch (answer) {
    case PolkitAnswer::Authorised:
        return "authorised";
    case PolkitAnswer::Challenged:
        return "challenged";
    case PolkitAnswer::Refused:
        return "refused";
    case PolkitAnswer::Error:
        return "error";
    case PolkitAnswer::Malformed:
        return "malformed";
    }
    return "refused";
}

}  // namespace

PolkitStub::PolkitStub(PolkitAnswer answer, double timeoutSeconds)
{
    char dirTemplate[] = "/tmp/polkit-stub-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        return;
    }
    m_dir = dirTemplate;
    m_answerPath = m_dir + "/answer";
    m_logPath = m_dir + "/queries";
    setAnswer(answer);
    std::ofstream(m_logPath).flush();

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t pid = spawnDaemon({VETU_POLKIT_STUB, m_answerPath, m_logPath}, out[1]);
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    close(out[1]);
    m_pid = pid;
    std::string line;
    m_ready = readLineWithin(out[0], timeoutSeconds, line) && line == "ready";
    close(out[0]);
}

PolkitStub::~PolkitStub()
{
    if (m_pid > 0) {
        stopChild(m_pid, SIGKILL, kStopSeconds);
    }
    if (!m_dir.empty()) {
        unlink(m_answerPath.c_str());
        unlink(m_logPath.c_str());
        rmdir(m_dir.c_str());
    }
}

void PolkitStub::setAnswer(PolkitAnswer answer)
{
    const std::string tmp = m_answerPath + ".tmp";
    std::ofstream(tmp) << answerText(answer) << "\n";
    rename(tmp.c_str(), m_answerPath.c_str());
}

std::vector<PolkitQuery> PolkitStub::queries() const
{
    std::vector<PolkitQuery> result;
    std::ifstream log(m_logPath);
    std::string line;
    while (std::getline(log, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t')) {
            fields.push_back(field);
        }
        if (fields.size() < 5) {
            continue;
        }
        PolkitQuery query;
        query.subjectKind = fields[0];
        query.actionId = fields[1];
        query.flags = static_cast<uint32_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
        query.cancellationId = fields[3];
        query.detailCount = std::strtoul(fields[4].c_str(), nullptr, 10);
        for (size_t i = 5; i < fields.size(); ++i) {
            const size_t first = fields[i].find(':');
            const size_t second = fields[i].find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) {
                continue;
            }
            query.subjectDetails[fields[i].substr(0, first)] = {fields[i].substr(first + 1, second - first - 1),
                                                                fields[i].substr(second + 1)};
        }
        result.push_back(query);
    }
    return result;
}

void PolkitStub::clearQueries()
{
    std::ofstream(m_logPath, std::ios::trunc).flush();
}
