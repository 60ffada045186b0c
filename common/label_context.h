// The security context of a file or process and its 170-character text form
// "sid:tid:oid:inherit_flag:create_oid" (note: not the order in memory).
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

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
// Writes the text form into out[0, kLabelTextLength); returns its end.
char* formatContext(const LabelContext& context, char* out);
// 0 when all five fields parsed; -1 otherwise (the output may then hold the
// fields parsed before the failure). Parsing is lenient: white space, a sign
// and 0x prefixes are accepted, trailing junk in a number and text after the
// fifth field are ignored.
int stringToContext(std::string_view text, LabelContext* context);
// The create_oid field alone, with the result and messages of
// stringToContext: a text in the exact form contextToString writes is read
// at the field's place, any other goes through the full parser.
int stringToCreateOid(std::string_view text, vetu_id_t* createOid);
// One hexadecimal number taken from the stream up to the next "-" or the end.
bool readUint64(std::istream& in, uint64_t& value);
bool readUint32(std::istream& in, uint32_t& value);
