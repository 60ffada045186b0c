// A /bin/sh script bind-mounted over a program (rpm, findmnt) in the test's
// namespace.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/paths.h"

class StubProgram {
public:
    // body follows lines that set STUB_DIR (the script's scratch directory)
    // and append "$*" to $STUB_DIR/calls. Throws when it cannot be set up.
    StubProgram(const char* program, const std::string& body);
    ~StubProgram();
    StubProgram(const StubProgram&) = delete;
    StubProgram& operator=(const StubProgram&) = delete;

    // Writes a data file under STUB_DIR; returns its path.
    std::string writeData(const std::string& rel, const std::string& content) const;
    // The argument lines of every run so far, in order of their ends.
    std::vector<std::string> calls() const;

private:
    std::string m_program;
    std::string m_dir;
};

struct StubRpm : StubProgram {
    explicit StubRpm(const std::string& body) : StubProgram(paths::kRpm, body) {}
};

// Body of a stub that answers "-qa" with the lines of $STUB_DIR/qa and
// "-ql NAME" with $STUB_DIR/ql/NAME (exit 1 when that is missing, as rpm
// does for a package that is not installed); anything else exits 1.
std::string listingStubBody();

// Fills the data of a listing stub: "-qa" prints qaLines; "-ql NAME" prints
// fileLists[NAME].
void writeListing(const StubRpm& stub, const std::vector<std::string>& qaLines,
                  const std::map<std::string, std::vector<std::string>>& fileLists);
