#include "store/cereal_archives.h"

#include "store/pkg_data_file.h"

#include <cstring>
#include <mutex>
#include <ostream>
#include <shared_mutex>

#include "common/log_text.h"
#include "common/logger.h"
#include "store/hmac_key.h"
#include "store/signed_data_file.h"
#include "store/vetu_restore_init.h"

template <class Archive>
void serialize(Archive& ar, PkgIdInfo& info)
{
    ar(info.pkgId, info.pkgType);
}

template <class Archive>
void serialize(Archive& ar, FilePkgInfo& info)
{
    ar(info.pkgName, info.pkgType);
}

struct PkgFileDataWriter::Impl {
    std::string bytes;
    StringSinkBuf sink{bytes};
    std::ostream stream{&sink};
    cereal::BinaryOutputArchive archive{stream};
};

PkgFileDataWriter::PkgFileDataWriter() : m_impl(new Impl) {}

PkgFileDataWriter::~PkgFileDataWriter() = default;

size_t PkgFileDataWriter::sizePkgMaps(const std::map<std::string, PkgIdInfo>& pkgNameToId,
                                     const std::map<uint64_t, std::string>& pkgIdToName)
{
    size_t bytes = 16 + pkgNameToId.size() * (8 + 8 + 4) + pkgIdToName.size() * (8 + 8);
    for (const auto& entry : pkgNameToId) {
        bytes += entry.first.size();
    }
    for (const auto& entry : pkgIdToName) {
        bytes += entry.second.size();
    }
    return bytes;
}

size_t PkgFileDataWriter::sizeFilePaths(const std::map<std::string, FilePkgInfo>& filePathToPkgName)
{
    size_t bytes = 8 + filePathToPkgName.size() * (8 + 8 + 4);
    for (const auto& entry : filePathToPkgName) {
        bytes += entry.first.size() + entry.second.pkgName.size();
    }
    return bytes;
}

size_t PkgFileDataWriter::sizeParentDirs(const std::set<std::string>& cachedParentDirs)
{
    size_t bytes = 8 + cachedParentDirs.size() * 8;
    for (const std::string& dir : cachedParentDirs) {
        bytes += dir.size();
    }
    return bytes;
}

void PkgFileDataWriter::reserve(size_t bytes)
{
    m_impl->bytes.reserve(bytes);
}

void PkgFileDataWriter::writePkgMaps(const std::map<std::string, PkgIdInfo>& pkgNameToId,
                                     const std::map<uint64_t, std::string>& pkgIdToName)
{
    m_impl->archive(pkgNameToId, pkgIdToName);
}

void PkgFileDataWriter::writeFilePaths(const std::map<std::string, FilePkgInfo>& filePathToPkgName)
{
    m_impl->archive(filePathToPkgName);
}

void PkgFileDataWriter::writeParentDirs(const std::set<std::string>& cachedParentDirs)
{
    m_impl->archive(cachedParentDirs);
}

std::string PkgFileDataWriter::take()
{
    m_impl->stream.flush();
    return std::move(m_impl->bytes);
}

namespace {

// Reads what cereal's binary archive wrote straight from the bytes, with the
// archive's error text, and sizes a string only after checking that the
// bytes for it are there: a forged length must not make the loader allocate
// gigabytes.
class BoundedReader {
public:
    explicit BoundedReader(std::string_view bytes) : m_bytes(bytes) {}

    size_t offset() const { return m_at; }

    template <class T>
    T number()
    {
        T value;
        require(sizeof(value));
        std::memcpy(&value, m_bytes.data() + m_at, sizeof(value));
        m_at += sizeof(value);
        return value;
    }

    std::string text()
    {
        const uint64_t length = number<uint64_t>();
        require(length);
        std::string value(m_bytes.data() + m_at, static_cast<size_t>(length));
        m_at += static_cast<size_t>(length);
        return value;
    }

private:
    void require(uint64_t length)
    {
        const size_t left = m_bytes.size() - m_at;
        if (length > left) {
            m_at = m_bytes.size();
            throw cereal::Exception("Failed to read " + std::to_string(length) + " bytes from input stream! Read " +
                                    std::to_string(left));
        }
    }

    std::string_view m_bytes;
    size_t m_at = 0;
};

// Records come in key order, so inserting at the end is cheap; a repeated
// key keeps its first record.
template <class Map, class Read>
void readSection(BoundedReader& in, Map& out, Read readRecord, const std::function<void(size_t)>& readUpTo)
{
    uint64_t count = in.number<uint64_t>();
    for (; count > 0; --count) {
        readRecord(out);
        if (readUpTo) {
            readUpTo(in.offset());
        }
    }
}

}  // namespace

int loadPkgFileDataBinary(std::string_view bytes, PkgFileData& out, std::string& error,
                          const std::function<void(size_t)>& readUpTo)
{
    PkgFileData data;
    try {
        BoundedReader in(bytes);
        readSection(in, data.pkgNameToId, [&in](std::map<std::string, PkgIdInfo>& m) {
            std::string name = in.text();
            PkgIdInfo info;
            info.pkgId = in.number<uint64_t>();
            info.pkgType = in.number<uint32_t>();
            m.emplace_hint(m.end(), std::move(name), info);
        }, readUpTo);
        readSection(in, data.pkgIdToName, [&in](std::map<uint64_t, std::string>& m) {
            const uint64_t id = in.number<uint64_t>();
            m.emplace_hint(m.end(), id, in.text());
        }, readUpTo);
        readSection(in, data.filePathToPkgName, [&in](std::map<std::string, FilePkgInfo>& m) {
            std::string path = in.text();
            FilePkgInfo info;
            info.pkgName = in.text();
            info.pkgType = in.number<uint32_t>();
            m.emplace_hint(m.end(), std::move(path), std::move(info));
        }, readUpTo);
        readSection(in, data.cachedParentDirs,
                    [&in](std::set<std::string>& s) { s.emplace_hint(s.end(), in.text()); }, readUpTo);
    } catch (const std::exception& e) {
        error = e.what();
        return -1;
    }
    out = std::move(data);
    return 0;
}

int VetuRestoreInit::storePkgAndFileData()
{
    const std::string key = getHmacKey();
    std::shared_lock<std::shared_mutex> fileGuard(m_dataFileMutex);
    std::lock_guard<std::mutex> storeGuard(m_pkgStoreMutex);
    std::string bytes;
    try {
        // Each container is read under its own lock, one at a time: once to
        // size the buffer, once to write it.
        PkgFileDataWriter writer;
        size_t size = 0;
        {
            std::lock_guard<std::mutex> guard(m_pkgMapMutex);
            size += PkgFileDataWriter::sizePkgMaps(m_mapPkgNameToId, m_mapPkgIdToName);
        }
        {
            std::lock_guard<std::mutex> guard(m_filePathMapMutex);
            size += PkgFileDataWriter::sizeFilePaths(m_mapFilePathToPkgName);
        }
        {
            std::lock_guard<std::mutex> guard(m_parentDirsMutex);
            size += PkgFileDataWriter::sizeParentDirs(m_cachedParentDirs);
        }
        // Room for what package labelling may add between the two passes.
        writer.reserve(size + size / 64 + 4096);
        {
            std::lock_guard<std::mutex> guard(m_pkgMapMutex);
            writer.writePkgMaps(m_mapPkgNameToId, m_mapPkgIdToName);
        }
        {
            std::lock_guard<std::mutex> guard(m_filePathMapMutex);
            writer.writeFilePaths(m_mapFilePathToPkgName);
        }
        {
            std::lock_guard<std::mutex> guard(m_parentDirsMutex);
            writer.writeParentDirs(m_cachedParentDirs);
        }
        bytes = writer.take();
    } catch (const std::exception& e) {
        LOG_ERROR("save data error: %s", logSafe(e.what()).c_str());
        return -1;
    }
    std::string error;
    if (storeSignedData(kPkgDataFile, key, bytes, error) != 0) {
        LOG_ERROR("save data error: %s", logSafe(error).c_str());
        return -1;
    }
    LOG_INFO("save data success");
    LOG_INFO("save signature success");
    return 0;
}

int VetuRestoreInit::loadPkgAndFileData()
{
    const std::string key = getHmacKey();
    std::unique_lock<std::shared_mutex> fileGuard(m_dataFileMutex);
    return loadSignedData(kPkgDataFile, kPkgDataTexts, key, [this](DataFileBytes& bytes, std::string& error) {
        PkgFileData data;
        // What is read is given back as the containers grow, so they never
        // sit beside the whole file.
        const auto readUpTo = [&bytes](size_t offset) { bytes.release(offset); };
        if (loadPkgFileDataBinary(bytes.view(), data, error, readUpTo) != 0) {
            return ParseOutcome::Unparsable;
        }
        bytes.release(bytes.view().size());
        swapPackageData(data);
        LOG_INFO("load data success");
        if (!validateMappedData()) {
            // Refused data must not stay to be merged into the rebuild and
            // stored again: the previous content goes back.
            swapPackageData(data);
            LOG_ERROR("Data validation failed after deserialization");
            return ParseOutcome::Rejected;
        }
        LOG_INFO("Data validation passed");
        return ParseOutcome::Loaded;
    });
}
