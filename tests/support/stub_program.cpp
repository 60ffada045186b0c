#include "support/stub_program.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <stdexcept>

#include "common/file_utils.h"

StubProgram::StubProgram(const char* program, const std::string& body) : m_program(program)
{
    char templ[] = "/tmp/vetu-stub-XXXXXX";
    m_dir = mkdtemp(templ) != nullptr ? templ : "/nonexistent";
    const std::string script = m_dir + "/program";
    if (!writeFile(script, "#!/bin/sh\nSTUB_DIR='" + m_dir + "'\necho \"$*\" >> \"$STUB_DIR/calls\"\n" + body) ||
        chmod(script.c_str(), 0755) != 0 || mount(script.c_str(), program, nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error("cannot stand in for " + m_program + ": " + strerror(errno));
    }
}

StubProgram::~StubProgram()
{
    umount2(m_program.c_str(), MNT_DETACH);
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string StubProgram::writeData(const std::string& rel, const std::string& content) const
{
    const std::filesystem::path path = std::filesystem::path(m_dir) / rel;
    std::filesystem::create_directories(path.parent_path());
    if (!writeFile(path.string(), content)) {
        throw std::runtime_error("cannot write " + path.string());
    }
    return path.string();
}

std::vector<std::string> StubProgram::calls() const
{
    std::vector<std::string> lines;
    std::ifstream in(m_dir + "/calls");
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string listingStubBody()
{
    return "case \"$1\" in\n"
           "-qa) exec cat \"$STUB_DIR/qa\" ;;\n"
           "-ql) [ -f \"$STUB_DIR/ql/$2\" ] || { echo \"package $2 is not installed\"; exit 1; }\n"
           "     exec cat \"$STUB_DIR/ql/$2\" ;;\n"
           "esac\n"
           "exit 1\n";
}

void writeListing(const StubRpm& stub, const std::vector<std::string>& qaLines,
                  const std::map<std::string, std::vector<std::string>>& fileLists)
{
    const auto joined = [](const std::vector<std::string>& lines) {
        return std::accumulate(lines.begin(), lines.end(), std::string(),
                               [](std::string text, const std::string& line) { return text + line + '\n'; });
    };
    stub.writeData("qa", joined(qaLines));
    for (const auto& [name, files] : fileLists) {
        stub.writeData("ql/" + name, joined(files));
    }
}
