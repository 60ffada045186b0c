#include "polkit_stub.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "support/bus_client.h"

PolkitStub::PolkitStub(double timeoutSeconds)
{
    char answerTemplate[] = "/tmp/polkit-stub-answer-XXXXXX";
    const int fd = mkstemp(answerTemplate);
    if (fd < 0) {
        return;
    }
    close(fd);
    m_answerPath = answerTemplate;
    std::ofstream(m_answerPath) << "authorised\n";
    m_stub = ChildProcess({VETU_POLKIT_STUB, m_answerPath, "/dev/null"});
    m_ready = m_stub.ok() && busNameOwnedWithin("org.freedesktop.PolicyKit1", timeoutSeconds);
}

PolkitStub::~PolkitStub()
{
    m_stub.stop();
    if (!m_answerPath.empty()) {
        unlink(m_answerPath.c_str());
    }
}
