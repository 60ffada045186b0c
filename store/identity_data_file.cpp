#include "store/cereal_archives.h"

#include "store/identity_data_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <istream>
#include <mutex>
#include <ostream>
#include <shared_mutex>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/paths.h"
#include "store/hmac_key.h"
#include "store/signed_data_file.h"
#include "store/vetu_restore_init.h"

template <class Archive>
void serialize(Archive& ar, vetu_id_t& id)
{
    ar(cereal::make_nvp("pkg_id", id.pkg_id), cereal::make_nvp("file_id", id.file_id),
       cereal::make_nvp("path_id", id.path_id));
}

template <class Archive>
void serialize(Archive& ar, SpecialFsFileRecord& record)
{
    ar(cereal::make_nvp("filesystem", record.filesystem), cereal::make_nvp("pkg_id", record.id.pkg_id),
       cereal::make_nvp("file_id", record.id.file_id), cereal::make_nvp("path_id", record.id.path_id));
}

namespace {

// The persisted maps in file order, as (member name, pointer to member).
template <class Visit>
void visitPersistedMaps(Visit&& visit)
{
    visit("identityDataFileSid", &IdentityMaps::identityDataFileSid);
    visit("identityDataFileOid", &IdentityMaps::identityDataFileOid);
    visit("identityDataDirSid", &IdentityMaps::identityDataDirSid);
    visit("identityDataDirOid", &IdentityMaps::identityDataDirOid);
    visit("identityDataLnkfileSid", &IdentityMaps::identityDataLnkfileSid);
    visit("identityDataLnkfileOid", &IdentityMaps::identityDataLnkfileOid);
    visit("identityDataDirSpathid", &IdentityMaps::identityDataDirSpathid);
    visit("identityDataDirOpathid", &IdentityMaps::identityDataDirOpathid);
    visit("identityDataFileWildcardSid", &IdentityMaps::identityDataFileWildcardSid);
    visit("identityDataFileWildcardOid", &IdentityMaps::identityDataFileWildcardOid);
    visit("identityDataDirWildcardSid", &IdentityMaps::identityDataDirWildcardSid);
    visit("identityDataDirWildcardOid", &IdentityMaps::identityDataDirWildcardOid);
    visit("identityDataLinkWildcardSid", &IdentityMaps::identityDataLinkWildcardSid);
    visit("identityDataLinkWildcardOid", &IdentityMaps::identityDataLinkWildcardOid);
    visit("identityDataDirWSpathid", &IdentityMaps::identityDataDirWSpathid);
    visit("identityDataDirWOpathid", &IdentityMaps::identityDataDirWOpathid);
    visit("specialFsFileOid", &IdentityMaps::specialFsFileOid);
    visit("identityDataUserConfigPid", &IdentityMaps::identityDataUserConfigPid);
    visit("identityDataUserConfigSid", &IdentityMaps::identityDataUserConfigSid);
    visit("identityDataUserConfigOid", &IdentityMaps::identityDataUserConfigOid);
    visit("identityDataUserConfigTid", &IdentityMaps::identityDataUserConfigTid);
    visit("identityDataUserConfigInheritFlag", &IdentityMaps::identityDataUserConfigInheritFlag);
    visit("identityDataUserConfigSidGlob", &IdentityMaps::identityDataUserConfigSidGlob);
    visit("identityDataUserConfigOidGlob", &IdentityMaps::identityDataUserConfigOidGlob);
    visit("identityDataUserConfigTidGlob", &IdentityMaps::identityDataUserConfigTidGlob);
    visit("identityDataUserConfigInheritFlagGlob", &IdentityMaps::identityDataUserConfigInheritFlagGlob);
    visit("identityDataUserConfigCreateOid", &IdentityMaps::identityDataUserConfigCreateOid);
    visit("identityDataUserConfigLabel", &IdentityMaps::identityDataUserConfigLabel);
}

// One map as an object whose first member holds the entries.
template <class K, class V>
struct MapNode {
    std::map<K, V> entries;
    template <class Archive>
    void serialize(Archive& ar)
    {
        ar(entries);
    }
};

struct LoadedMaps {
    IdentityMaps& maps;
    template <class Archive>
    void load(Archive& ar)
    {
        visitPersistedMaps([&](const char* name, auto member) {
            auto& syncMap = maps.*member;
            using Node = MapNode<std::string, typename decltype(syncMap.getAll())::mapped_type>;
            Node node;
            ar(cereal::make_nvp(name, node));
            for (const auto& entry : node.entries) {
                syncMap.set(entry.first, entry.second);
            }
        });
    }
};

// Writes the text the JSON archive would write for the maps, byte for byte,
// straight into the string: the archive's writer goes through a stream one
// character at a time and copies every map first.
class IdentityJsonWriter {
public:
    explicit IdentityJsonWriter(std::string& out) : m_out(out) {}

    void write(const IdentityMaps& maps)
    {
        m_out.append("{\n    \"value0\": {");
        bool first = true;
        visitPersistedMaps([&](const char* name, auto member) {
            m_out.append(first ? "\n        \"" : ",\n        \"")
                .append(name)
                .append("\": {\n            \"value0\": ");
            first = false;
            (maps.*member).visitLocked([&](const auto& entries) { writeEntries(entries); });
            m_out.append("\n        }");
        });
        m_out.append("\n    }\n}");
    }

private:
    template <class Map>
    void writeEntries(const Map& entries)
    {
        if (entries.empty()) {
            m_out.append("[]");
            return;
        }
        m_out.push_back('[');
        bool first = true;
        for (const auto& entry : entries) {
            m_out.append(first ? "\n" : ",\n").append("                {\n                    \"key\": ");
            first = false;
            writeString(entry.first);
            m_out.append(",\n                    \"value\": ");
            writeValue(entry.second);
            m_out.append("\n                }");
        }
        m_out.append("\n            ]");
    }

    void writeValue(uint64_t value) { writeNumber(value); }
    void writeValue(uint32_t value) { writeNumber(value); }
    void writeValue(const std::string& value) { writeString(value); }
    void writeValue(const vetu_id_t& id)
    {
        m_out.append("{\n                        \"pkg_id\": ");
        writeIdFields(id);
    }
    void writeValue(const SpecialFsFileRecord& record)
    {
        m_out.append("{\n                        \"filesystem\": ");
        writeString(record.filesystem);
        m_out.append(",\n                        \"pkg_id\": ");
        writeIdFields(record.id);
    }
    void writeIdFields(const vetu_id_t& id)
    {
        writeNumber(id.pkg_id);
        m_out.append(",\n                        \"file_id\": ");
        writeNumber(id.file_id);
        m_out.append(",\n                        \"path_id\": ");
        writeNumber(id.path_id);
        m_out.append("\n                    }");
    }

    void writeNumber(uint64_t value)
    {
        char digits[24];
        m_out.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
    }

    // Quotation mark and backslash escaped, the control characters by name
    // or as \u00XX with uppercase digits, every other byte as it is.
    void writeString(const std::string& text)
    {
        static constexpr char kHex[] = "0123456789ABCDEF";
        m_out.push_back('"');
        size_t plain = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c >= 0x20 && c != '"' && c != '\\') {
                continue;
            }
            m_out.append(text, plain, i - plain);
            plain = i + 1;
            switch (c) {
            case '"': m_out.append("\\\""); break;
            case '\\': m_out.append("\\\\"); break;
            case '\b': m_out.append("\\b"); break;
            case '\t': m_out.append("\\t"); break;
            case '\n': m_out.append("\\n"); break;
            case '\f': m_out.append("\\f"); break;
            case '\r': m_out.append("\\r"); break;
            default:
                m_out.append("\\u00").push_back(kHex[c >> 4]);
                m_out.push_back(kHex[c & 0xF]);
            }
        }
        m_out.append(text, plain, std::string::npos).push_back('"');
    }

    std::string& m_out;
};

// Every number of the file is an integer; anything else is refused before
// the parser's floating-point reader sees it. Returns the offset of the
// first number with a fraction or exponent, or npos.
size_t findNonIntegerNumber(std::string_view json)
{
    size_t i = 0;
    while (i < json.size()) {
        const char c = json[i];
        if (c == '"') {
            for (++i; i < json.size() && json[i] != '"'; ++i) {
                i += json[i] == '\\' ? 1 : 0;
            }
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const size_t start = i;
            for (++i; i < json.size() && json[i] >= '0' && json[i] <= '9'; ++i) {
            }
            if (i < json.size() && (json[i] == '.' || json[i] == 'e' || json[i] == 'E')) {
                return start;
            }
        } else {
            ++i;
        }
    }
    return std::string::npos;
}

}  // namespace

int saveIdentityDataJson(const IdentityMaps& maps, std::string& json, std::string& error)
{
    // The last text's size is the best guess of this one's: a string grown
    // by doubling would copy tens of megabytes on the way.
    static std::atomic<size_t> lastSize{0};
    json.clear();
    try {
        const size_t guess = lastSize.load(std::memory_order_relaxed);
        json.reserve(guess + guess / 8);
        IdentityJsonWriter writer(json);
        writer.write(maps);
        lastSize.store(json.size(), std::memory_order_relaxed);
    } catch (const std::exception& e) {
        error = e.what();
        json.clear();
        return -1;
    }
    return 0;
}

int loadIdentityDataJson(std::string_view json, IdentityMaps& maps, std::string& error)
{
    const size_t badNumber = findNonIntegerNumber(json);
    if (badNumber != std::string::npos) {
        error = "JSON number at offset " + std::to_string(badNumber) + " is not an integer";
        return -1;
    }
    IdentityMaps loaded;
    try {
        ByteSourceBuf source(json.data(), json.size());
        std::istream stream(&source);
        cereal::JSONInputArchive archive(stream);
        archive(LoadedMaps{loaded});
    } catch (const std::exception& e) {
        error = e.what();
        return -1;
    }
    visitPersistedMaps([&](const char*, auto member) { maps.*member = loaded.*member; });
    return 0;
}

namespace {

constexpr unsigned kMaxUnparsableCopies = 1000;

// Moves the identity data file aside under the first free numbered name; a
// copy set aside earlier is never replaced. False when it stays in place.
bool setAsideUnparsableIdentityData()
{
    char name[sizeof(paths::kIdentityDataUnparsableFmt) + 16];
    for (unsigned n = 1; n <= kMaxUnparsableCopies; ++n) {
        snprintf(name, sizeof(name), paths::kIdentityDataUnparsableFmt, n);
        // link refuses an existing name, so nothing set aside before is lost.
        if (link(paths::kIdentityData, name) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            LOG_ERROR("can not set %s aside as %s: %s", paths::kIdentityData, name, strerror(errno));
            return false;
        }
        if (unlink(paths::kIdentityData) != 0) {
            LOG_ERROR("can not set %s aside as %s: %s", paths::kIdentityData, name, strerror(errno));
            return false;
        }
        LOG_ERROR("identity data file %s could not be parsed, its bytes are kept as %s", paths::kIdentityData,
                  name);
        return true;
    }
    LOG_ERROR("can not set %s aside: %u unparsable copies kept already", paths::kIdentityData, kMaxUnparsableCopies);
    return false;
}

}  // namespace

int VetuRestoreInit::storeIndentityData()
{
    const std::string key = getHmacKey();
    std::unique_lock<std::shared_mutex> fileGuard(m_dataFileMutex);
    if (m_identityDataUnloaded) {
        LOG_ERROR("store indentity data error: %s failed to load and was not loaded since, refusing to overwrite it",
                  paths::kIdentityData);
        return -1;
    }
    std::string json;
    std::string error;
    if (saveIdentityDataJson(*this, json, error) != 0 || storeSignedData(kIdentityDataFile, key, json, error) != 0) {
        LOG_ERROR("store indentity data error: %s", logSafe(error).c_str());
        return -1;
    }
    LOG_DEBUG("store indentity data success.");
    LOG_DEBUG("store identity data signature success.");
    return 0;
}

int VetuRestoreInit::loadIndentityData()
{
    const std::string key = getHmacKey();
    std::unique_lock<std::shared_mutex> fileGuard(m_dataFileMutex);
    bool unparsable = false;
    const int rc = loadSignedData(kIdentityDataFile, kIdentityDataTexts, key,
                                  [this, &unparsable](DataFileBytes& bytes, std::string& error) {
                                      if (loadIdentityDataJson(bytes.view(), *this, error) != 0) {
                                          unparsable = true;
                                          return ParseOutcome::Unparsable;
                                      }
                                      unparsable = false;
                                      LOG_INFO("load indentity data success.");
                                      return ParseOutcome::Loaded;
                                  });
    // Bytes that will never parse would block every later store for good:
    // they are kept aside instead, and stores go on.
    if (rc != 0 && unparsable) {
        setAsideUnparsableIdentityData();
    }
    // A file the load removed as tampered, or none at all, holds nothing to lose.
    struct stat st;
    m_identityDataUnloaded = rc != 0 && !(lstat(paths::kIdentityData, &st) != 0 && errno == ENOENT);
    return rc;
}
