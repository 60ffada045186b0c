#include "common/label_context.h"

#include <cstring>
#include <string_view>

#include "common/logger.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The two digits of every byte value: a label is 72 bytes of numbers.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text()
    {
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = kHexDigits[i >> 4];
            text[2 * i + 1] = kHexDigits[i & 0x0f];
        }
    }
};
constexpr HexPairs kHexPairs;

// width is even.
char* putHex(char* out, uint64_t value, int width)
{
    for (int i = width - 2; i >= 0; i -= 2) {
        memcpy(out + i, kHexPairs.text + 2 * (value & 0xff), 2);
        value >>= 8;
    }
    return out + width;
}

char* putId(char* out, const vetu_id_t& id)
{
    out = putHex(out, id.pkg_id, 16);
    *out++ = '-';
    out = putHex(out, id.file_id, 16);
    *out++ = '-';
    return putHex(out, id.path_id, 16);
}

// A table, not branches: label digits are random, so branches mispredict.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value()
    {
        for (int i = 0; i < 256; ++i) {
            value[i] = -1;
        }
        for (int i = 0; i < 10; ++i) {
            value['0' + i] = static_cast<signed char>(i);
        }
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<signed char>(10 + i);
            value['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr HexTable kHexTable;

int hexValue(char ch)
{
    return kHexTable.value[static_cast<unsigned char>(ch)];
}

bool isCSpace(char ch)
{
    return ch == ' ' || (ch >= '\t' && ch <= '\r');
}

// std::stoull/std::stoul with base 16 (strtoull in the C locale), with their
// messages but without exceptions and several times faster: leading white
// space, a sign and a 0x prefix are taken, conversion stops at the first
// character that is no hexadecimal digit (a NUL included).
bool convertHex(std::string_view token, uint64_t& value, const char* function)
{
    size_t i = 0;
    const size_t n = token.size();
    while (i < n && isCSpace(token[i])) {
        ++i;
    }
    bool negative = false;
    if (i < n && (token[i] == '+' || token[i] == '-')) {
        negative = token[i] == '-';
        ++i;
    }
    if (i + 2 < n && token[i] == '0' && (token[i + 1] | 0x20) == 'x' && hexValue(token[i + 2]) >= 0) {
        i += 2;
    }
    const size_t first = i;
    uint64_t converted = 0;
    bool overflow = false;
    for (int digit; i < n && (digit = hexValue(token[i])) >= 0; ++i) {
        overflow = overflow || (converted >> 60) != 0;
        converted = (converted << 4) | static_cast<uint64_t>(digit);
    }
    if (i == first) {
        LOG_ERROR("Invalid argument: %s.", function);
        return false;
    }
    if (overflow) {
        LOG_ERROR("Out of Range error: %s.", function);
        return false;
    }
    value = negative ? 0 - converted : converted;
    return true;
}

// Reads pieces the way std::getline does over a string: a piece ends at the
// delimiter (consumed) or the end; nothing is left once the end is reached.
class PieceReader {
public:
    explicit PieceReader(std::string_view text) : m_text(text) {}

    bool next(char delimiter, std::string_view& piece)
    {
        if (m_pos >= m_text.size()) {
            return false;
        }
        const size_t stop = m_text.find(delimiter, m_pos);
        if (stop == std::string_view::npos) {
            piece = m_text.substr(m_pos);
            m_pos = m_text.size();
        } else {
            piece = m_text.substr(m_pos, stop - m_pos);
            m_pos = stop + 1;
        }
        return true;
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

bool readHexPiece(PieceReader& reader, uint64_t& value, const char* function)
{
    std::string_view token;
    if (!reader.next('-', token)) {
        LOG_ERROR("string format error.");
        return false;
    }
    return convertHex(token, value, function);
}

bool readNumber(PieceReader& reader, uint64_t& value)
{
    return readHexPiece(reader, value, "stoull");
}

bool readNumber(PieceReader& reader, uint32_t& value)
{
    uint64_t wide = 0;
    if (!readHexPiece(reader, wide, "stoul")) {
        return false;
    }
    value = static_cast<uint32_t>(wide);
    return true;
}

bool readId(PieceReader& reader, vetu_id_t& id)
{
    return readNumber(reader, id.pkg_id) && readNumber(reader, id.file_id) && readNumber(reader, id.path_id);
}

}  // namespace

std::string toHex16(uint64_t value)
{
    char text[16];
    putHex(text, value, 16);
    return std::string(text, sizeof(text));
}

char* formatContext(const LabelContext& context, char* out)
{
    out = putId(out, context.sid);
    *out++ = ':';
    out = putHex(out, context.tid, 8);
    *out++ = ':';
    out = putId(out, context.oid);
    *out++ = ':';
    out = putHex(out, context.inherit_flag, 8);
    *out++ = ':';
    return putId(out, context.create_oid);
}

std::string contextToString(const LabelContext& context)
{
    char text[kLabelTextLength];
    formatContext(context, text);
    return std::string(text, sizeof(text));
}

// Parsed without streams (labels are read millions of times per relabel run),
// with the same results and messages as readUint64/readUint32 over one
// stream per ":"-field.
int stringToContext(std::string_view text, LabelContext* context)
{
    if (text.empty()) {
        LOG_ERROR("labelStr is empty.");
        return -1;
    }
    if (context == nullptr) {
        LOG_ERROR("invalid parameter");
        return -1;
    }
    PieceReader fields(text);
    for (int index = 0; index < 5; ++index) {
        std::string_view field;
        // A text with fewer than five fields is no label.
        if (!fields.next(':', field)) {
            LOG_ERROR("string format error.");
            return -1;
        }
        PieceReader pieces(field);
        bool ok = false;
        switch (index) {
        case 0:
            ok = readId(pieces, context->sid);
            break;
        case 1:
            ok = readNumber(pieces, context->tid);
            break;
        case 2:
            ok = readId(pieces, context->oid);
            break;
        case 3:
            ok = readNumber(pieces, context->inherit_flag);
            break;
        default:
            ok = readId(pieces, context->create_oid);
            break;
        }
        if (!ok) {
            return -1;
        }
    }
    return 0;
}

namespace {

// The written form: runs of hexadecimal digits, each followed by a
// separator (the last by the end).
struct DigitRun {
    size_t start;
    size_t length;
    char separator;
};
constexpr DigitRun kCanonicalRuns[] = {{0, 16, '-'},   {17, 16, '-'},  {34, 16, ':'},  {51, 8, ':'},
                                       {60, 16, '-'},  {77, 16, '-'},  {94, 16, ':'},  {111, 8, ':'},
                                       {120, 16, '-'}, {137, 16, '-'}, {154, 16, '\0'}};
constexpr size_t kCreateOidOffset = 120;

// The digits of the table above, by arithmetic the compiler can vectorise:
// c | 0x20 maps 'A'-'F' onto 'a'-'f' and leaves '0'-'9' as they are.
bool isHexRun(const char* text, size_t length)
{
    // Eight bytes at a time where it can: the high bit of each byte of
    // inRange says whether that byte lies in [lo, hi], for bytes below 0x80.
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    const auto inRange = [](uint64_t word, uint64_t lo, uint64_t hi) {
        return (word + (0x80 - lo) * kOnes) & ((0x80 + hi) * kOnes - word) & kHigh;
    };
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        memcpy(&word, text + i, sizeof(word));
        if ((word & kHigh) != 0 || (inRange(word, '0', '9') | inRange(word | (0x20 * kOnes), 'a', 'f')) != kHigh) {
            return false;
        }
    }
    unsigned bad = 0;
    for (; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        bad |= static_cast<unsigned>(static_cast<unsigned char>(c - '0') > 9) &
               static_cast<unsigned>(static_cast<unsigned char>((c | 0x20) - 'a') > 5);
    }
    return bad == 0;
}

bool isCanonical(std::string_view text)
{
    if (text.size() != kLabelTextLength) {
        return false;
    }
    bool ok = true;
    for (const auto& run : kCanonicalRuns) {
        const size_t end = run.start + run.length;
        ok &= isHexRun(text.data() + run.start, run.length) &&
              (end == kLabelTextLength || text[end] == run.separator);
    }
    return ok;
}

// Eight digits known to be hexadecimal, as one number: each byte becomes
// its digit's value (bit 6 is set for letters only), then the nibbles are
// packed pairwise, the first digit the most significant.
uint64_t hex8(const char* text)
{
    constexpr uint64_t kLowNibbles = 0x0f0f0f0f0f0f0f0fULL;
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    uint64_t word;
    memcpy(&word, text, sizeof(word));
    word = (word & kLowNibbles) + 9 * ((word >> 6) & kOnes);
    word = __builtin_bswap64(word);
    word = (word | (word >> 4)) & 0x00ff00ff00ff00ffULL;
    word = (word | (word >> 8)) & 0x0000ffff0000ffffULL;
    return (word | (word >> 16)) & 0x00000000ffffffffULL;
}

// Sixteen digits known to be hexadecimal.
uint64_t hex16(const char* text)
{
    return (hex8(text) << 32) | hex8(text + 8);
}

}  // namespace

int stringToCreateOid(std::string_view text, vetu_id_t* createOid)
{
    if (createOid != nullptr && isCanonical(text)) {
        const char* field = text.data() + kCreateOidOffset;
        *createOid = {hex16(field), hex16(field + 17), hex16(field + 34)};
        return 0;
    }
    LabelContext context;
    if (stringToContext(text, createOid == nullptr ? nullptr : &context) != 0) {
        return -1;
    }
    *createOid = context.create_oid;
    return 0;
}

namespace {

bool readStreamPiece(std::istream& in, uint64_t& value, const char* function)
{
    std::string token;
    if (!std::getline(in, token, '-')) {
        LOG_ERROR("string format error.");
        return false;
    }
    return convertHex(token, value, function);
}

}  // namespace

bool readUint64(std::istream& in, uint64_t& value)
{
    return readStreamPiece(in, value, "stoull");
}

bool readUint32(std::istream& in, uint32_t& value)
{
    uint64_t wide = 0;
    if (!readStreamPiece(in, wide, "stoul")) {
        return false;
    }
    value = static_cast<uint32_t>(wide);
    return true;
}
