// Layout of pkg_file_data.bin: four sections, each an 8-byte count and its
// records in key order, integers little-endian, strings as an 8-byte length
// and their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "store/pkg_records.h"

// Writes the sections one after another, so that each container need only
// be locked while its own section is written.
class PkgFileDataWriter {
public:
    PkgFileDataWriter();
    ~PkgFileDataWriter();
    // Bytes each section will take, so the buffer is sized once.
    static size_t sizePkgMaps(const std::map<std::string, PkgIdInfo>& pkgNameToId,
                              const std::map<uint64_t, std::string>& pkgIdToName);
    static size_t sizeFilePaths(const std::map<std::string, FilePkgInfo>& filePathToPkgName);
    static size_t sizeParentDirs(const std::set<std::string>& cachedParentDirs);
    void reserve(size_t bytes);
    void writePkgMaps(const std::map<std::string, PkgIdInfo>& pkgNameToId,
                      const std::map<uint64_t, std::string>& pkgIdToName);
    void writeFilePaths(const std::map<std::string, FilePkgInfo>& filePathToPkgName);
    void writeParentDirs(const std::set<std::string>& cachedParentDirs);
    // The bytes written so far; the writer is spent afterwards.
    std::string take();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Reads the four sections; bytes after them are ignored. A repeated key keeps
// its first record. Returns 0, or -1 with the archive's error text when the
// bytes end early or a length runs past them; out is then untouched. After
// each record readUpTo, when given, learns how many leading bytes are read.
int loadPkgFileDataBinary(std::string_view bytes, PkgFileData& out, std::string& error,
                          const std::function<void(size_t)>& readUpTo = nullptr);
