// Path-identifier pairs for the kernel: for every directory with a policy,
// the path identifier of its nearest ancestor directory with one, written to
// the kernel's id_pairs file as clear and add messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

class VetuRestoreInit;

// Message header; all fields in native byte order.
struct IdPairHeader {
    uint32_t total_len;  // 16 + 16 x count
    uint32_t count;      // records that follow
    uint32_t op;         // kIdPairOpAdd or kIdPairOpClear
    uint32_t id_type;    // kIdTypeSid or kIdTypeOid
};

struct IdPairRecord {
    uint64_t pathid;
    uint64_t parent_pathid;  // 0 when no ancestor has a policy of the same type
};

static_assert(sizeof(IdPairHeader) == 16, "the kernel reads a 16-byte header");
static_assert(sizeof(IdPairRecord) == 16, "the kernel reads 16-byte records");

constexpr uint32_t kIdPairOpAdd = 1;
constexpr uint32_t kIdPairOpClear = 3;
constexpr uint32_t kIdTypeSid = 1;
constexpr uint32_t kIdTypeOid = 2;
// One add message is at most 16 + 8191 x 16 = 131072 bytes.
constexpr size_t kMaxIdPairsPerMessage = 8191;
constexpr size_t kMaxIdPairsPerType = 100000;

// Replaces the kernel's sid and oid tables from the store;
// 0, or -1 on any failure (a table cleared before the failure stays so).
int syncPathidToKernel(VetuRestoreInit& store);
// Sends the pairs of one type (1 sid; anything else builds the oid pairs,
// the header carries idType as given). 0 or -1.
int writePathidPairToKernel(VetuRestoreInit& store, int fd, uint32_t idType);
// Sends count records in add messages of at most 8191 records, each with the
// op and id_type of header. 0 or -1.
int writeIdPairsBatch(int fd, const IdPairHeader& header, const IdPairRecord* records, size_t count);
// pathid -> parent pathid for one type (1 sid, otherwise oid).
std::map<uint64_t, uint64_t> buildPathidPair(VetuRestoreInit& store, uint32_t idType);
// Nothing to send beyond the pairs; kept for the callers' sequence.
int syncFsFileInfoToKernel();
