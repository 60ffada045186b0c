// A /bin/sh script bind-mounted over a program (rpm, findmnt).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/paths.h"

class StubProgram {
public:
    // body runs after STUB_DIR (its scratch directory) is set and "$*" appended to $STUB_DIR/calls.
    StubProgram(const char* program, const std::string& body);
    ~StubProgram();
    StubProgram(const StubProgram&) = delete;
    StubProgram& operator=(const StubProgram&) = delete;

    std::string writeData(const std::string& rel, const std::string& content) const;
    // The argument lines of every run so far.
    std::vector<std::string> calls() const;

private:
    std::string m_program;
    std::string m_dir;
};

struct StubRpm : StubProgram {
    explicit StubRpm(const std::string& body) : StubProgram(paths::kRpm, body) {}
};

// Answers "-qa" and "-ql NAME" from what writeListing gave (exit 1, as rpm, for a package not installed).
std::string listingStubBody();
void writeListing(const StubRpm& stub, const std::vector<std::string>& qaLines,
                  const std::map<std::string, std::vector<std::string>>& fileLists);
