// The one way this program reaches cereal's archives. Include it before any
// other header in a source file that serialises: cereal turns RapidJSON's
// assertions into exceptions only when its JSON archive is the first to pull
// RapidJSON in; otherwise malformed JSON aborts the process. Never include
// RapidJSON directly.
#pragma once

// Iterative parsing, so that deeply nested input cannot exhaust the stack.
// Not cereal's full-precision floats: RapidJSON 1.1.0 reads out of bounds
// there on exponents such as e-346, and the files hold integers only.
#ifndef RAPIDJSON_PARSE_DEFAULT_FLAGS
#define RAPIDJSON_PARSE_DEFAULT_FLAGS kParseIterativeFlag
#endif

#include <cereal/archives/json.hpp>

#include <cereal/archives/binary.hpp>
#include <cereal/types/map.hpp>
#include <cereal/types/set.hpp>
#include <cereal/types/string.hpp>

#include <streambuf>
#include <string>

// An output stream buffer that appends to a string, so a serialised file is
// built once in memory without the copy a string stream makes. Flush the
// stream before reading the string.
class StringSinkBuf : public std::streambuf {
public:
    explicit StringSinkBuf(std::string& out) : m_out(out) { setp(m_buffer, m_buffer + sizeof(m_buffer)); }

protected:
    int_type overflow(int_type ch) override
    {
        drain();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }
    int sync() override
    {
        drain();
        return 0;
    }

private:
    void drain()
    {
        m_out.append(pbase(), static_cast<size_t>(pptr() - pbase()));
        setp(m_buffer, m_buffer + sizeof(m_buffer));
    }
    std::string& m_out;
    char m_buffer[8192];
};

// An input stream buffer over bytes held elsewhere; knows how many remain.
class ByteSourceBuf : public std::streambuf {
public:
    ByteSourceBuf(const char* data, size_t size)
    {
        char* begin = const_cast<char*>(data);  // never written through
        setg(begin, begin, begin + size);
    }
    size_t remaining() const { return static_cast<size_t>(egptr() - gptr()); }
};
