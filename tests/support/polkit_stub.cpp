#include "support/polkit_stub.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/bus_client.h"
#include "support/run_process.h"

namespace {

const char* const kAnswerWords[] = {"authorised", "challenged", "refused", "error", "malformed"};

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

    m_stub = ChildProcess({VETU_POLKIT_STUB, m_answerPath, m_logPath});
    m_ready = m_stub.ok() && busNameOwnedWithin("org.freedesktop.PolicyKit1", timeoutSeconds);
}

PolkitStub::~PolkitStub()
{
    m_stub.stop();
    if (!m_dir.empty()) {
        unlink(m_answerPath.c_str());
        unlink(m_logPath.c_str());
        rmdir(m_dir.c_str());
    }
}

void PolkitStub::setAnswer(PolkitAnswer answer)
{
    const std::string tmp = m_answerPath + ".tmp";
    std::ofstream(tmp) << kAnswerWords[static_cast<int>(answer)] << "\n";
    rename(tmp.c_str(), m_answerPath.c_str());
}

std::vector<PolkitQuery> PolkitStub::queries() const
{
    std::vector<PolkitQuery> result;
    std::ifstream log(m_logPath);
    for (std::string line; std::getline(log, line);) {
        std::istringstream parts(line);
        PolkitQuery query;
        std::getline(parts, query.subjectKind, '\t');
        std::getline(parts, query.actionId, '\t');
        for (std::string name, type, value; std::getline(parts, name, ':') && std::getline(parts, type, ':') &&
                                            std::getline(parts, value, '\t');) {
            query.subjectDetails[name] = {type, value};
        }
        result.push_back(query);
    }
    return result;
}
