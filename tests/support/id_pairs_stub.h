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

// Creates an empty regular id_pairs file (and its directories).
void create();
// Makes every write to id_pairs fail (ENOSPC) by binding /dev/full over it.
void failWrites();
// Makes writes past `bytes` bytes of data fail: the directory holding id_pairs
// becomes a tmpfs of that size. bytes must be a multiple of the page size.
void limitSize(size_t bytes);
// Everything written so far.
std::string bytes();
// Splits bytes into messages; false (a reason in *error) unless they are
// whole, consistent messages.
bool parse(const std::string& bytes, std::vector<IdPairsMessage>& messages, std::string* error = nullptr);

}  // namespace id_pairs_stub
