// The security context of a file or process and its 170-character text form
// "sid:tid:oid:inherit_flag:create_oid" (note: not the order in memory).
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "common/vetu_id.h"

struct LabelContext {
    vetu_id_t sid;
    vetu_id_t oid;
    vetu_id_t create_oid;
    uint32_t tid = 0;
    uint32_t inherit_flag = 0;

    bool operator==(const LabelContext& other) const
    {
        return sid == other.sid && oid == other.oid && create_oid == other.create_oid && tid == other.tid &&
               inherit_flag == other.inherit_flag;
    }
    bool operator!=(const LabelContext& other) const { return !(*this == other); }
};

constexpr size_t kLabelTextLength = 170;

// 16 lowercase hexadecimal digits, zero-padded.
std::string toHex16(uint64_t value);
std::string contextToString(const LabelContext& context);
// 0 when all five fields parsed; -1 otherwise (the output may then hold the
// fields parsed before the failure). Parsing is lenient: white space, a sign
// and 0x prefixes are accepted, trailing junk in a number and text after the
// fifth field are ignored.
int stringToContext(const std::string& text, LabelContext* context);
// One hexadecimal number taken from the stream up to the next "-" or the end.
bool readUint64(std::istream& in, uint64_t& value);
bool readUint32(std::istream& in, uint32_t& value);
