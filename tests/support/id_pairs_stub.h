// The kernel's id_pairs file as a regular file on the sandbox's tmpfs, read
// back as the messages written to it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct IdPairsMessage {
    uint32_t totalLen = 0;
    uint32_t count = 0;
    uint32_t op = 0;
    uint32_t idType = 0;
    std::vector<std::pair<uint64_t, uint64_t>> records;  // pathid, parent pathid
};

namespace id_pairs_stub {

void create();  // empty, with its directories
void failWrites();  // ENOSPC: /dev/full bound over it
// Writes past bytes (a multiple of the page size) fail: its directory is a tmpfs of that size.
void limitSize(size_t bytes);
std::string bytes();
// False (a reason in *error) unless they are whole, consistent messages.
bool parse(const std::string& bytes, std::vector<IdPairsMessage>& messages, std::string* error = nullptr);

}  // namespace id_pairs_stub
