// The configuration files, the device-type file and the lookups that read
// only what they hold.
#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "common/logger.h"
#include "store/conf_file_reader.h"
#include "store/vetu_restore_init.h"

namespace {

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

template <typename T>
T hexToUnsigned(const std::string& text)
{
    if (text.empty()) {
        throw std::invalid_argument("Invalid number format");
    }
    const bool prefixed = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = prefixed ? text.substr(2) : text;
    for (const char c : digits) {
        if (!isHexDigit(c)) {
            throw std::invalid_argument("Invalid number format");
        }
    }
    if (digits.empty()) {
        throw std::invalid_argument("Conversion failed");
    }
    T value = 0;
    for (const char c : digits) {
        if (value > (std::numeric_limits<T>::max() >> 4)) {
            throw std::invalid_argument("Conversion failed");
        }
        value = static_cast<T>((value << 4) | static_cast<T>(hexDigitValue(c)));
    }
    return value;
}

std::string withoutSpace(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            result.push_back(c);
        }
    }
    return result;
}

template <typename T>
void readConfLines(const std::string& confFileName, std::map<std::string, T>& confMap,
                   T (*convert)(const std::string&))
{
    if (confFileName.empty()) {
        LOG_ERROR("confFileName is empty..");
        return;
    }
    std::ifstream in(confFileName);
    if (!in.is_open()) {
        LOG_ERROR("open %s file error!\n", confFileName.c_str());
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq + 1 == line.size()) {
            continue;
        }
        const std::string key = withoutSpace(line.substr(0, eq));
        const std::string text = withoutSpace(line.substr(eq + 1));
        try {
            confMap[key] = convert(text);
        } catch (const std::invalid_argument& e) {
            LOG_ERROR("get %s value failed. %s", key.c_str(), e.what());
            return;
        }
    }
}

// A hexadecimal attribute read as the stream reads an int: 0 when nothing
// reads, the nearest limit when it does not fit.
int32_t readDeviceValue(const char* text)
{
    std::istringstream in(text);
    int value = 0;
    in >> std::hex >> value;
    return value;
}

// The name and value of an element; false after logging which is missing.
bool readNameAndValue(const TiXmlElement* element, const char* kind, std::string& name, int32_t& value)
{
    const char* nameText = element->Attribute("name");
    if (nameText == nullptr) {
        LOG_ERROR("'%s' element missing 'name' attribute.", kind);
        return false;
    }
    const char* valueText = element->Attribute("value");
    if (valueText == nullptr) {
        LOG_ERROR("'%s' element missing 'value' attribute.", kind);
        return false;
    }
    name = nameText;
    value = readDeviceValue(valueText);
    return true;
}

std::vector<DeviceClassInfo> readDeviceClasses(const TiXmlElement* typeNode)
{
    std::vector<DeviceClassInfo> classes;
    for (const TiXmlElement* classNode = typeNode->FirstChildElement("class"); classNode != nullptr;
         classNode = classNode->NextSiblingElement("class")) {
        DeviceClassInfo cls;
        if (!readNameAndValue(classNode, "class", cls.name, cls.value)) {
            continue;
        }
        LOG_DEBUG("device ClassNode %s value 0x%0x", cls.name.c_str(), cls.value);
        for (const TiXmlElement* subNode = classNode->FirstChildElement("subclass"); subNode != nullptr;
             subNode = subNode->NextSiblingElement("subclass")) {
            DeviceSubclassInfo sub;
            if (!readNameAndValue(subNode, "subclass", sub.name, sub.value)) {
                continue;
            }
            LOG_DEBUG("device Subclass %s value 0x%0x", sub.name.c_str(), sub.value);
            cls.subclasses.push_back(std::move(sub));
        }
        classes.push_back(std::move(cls));
    }
    return classes;
}

// TinyXML recurses once per nesting level while it parses and frees a
// document; the device file is four levels deep.
constexpr int kMaxXmlDepth = 64;

// The deepest nesting of elements in the text, counted as the parser would
// see them (comments, CDATA, declarations and quoted attribute values hold no
// tags), stopping once it exceeds kMaxXmlDepth. Where the text is malformed
// it may count too deep, never too shallow.
int xmlNestingDepth(const std::string& text)
{
    const auto skipPast = [&text](size_t from, const char* end) {
        const size_t at = text.find(end, from);
        return at == std::string::npos ? text.size() : at + std::char_traits<char>::length(end);
    };
    int depth = 0;
    int deepest = 0;
    size_t i = 0;
    while (i < text.size() && deepest <= kMaxXmlDepth) {
        if (text[i] != '<') {
            ++i;
        } else if (text.compare(i, 4, "<!--") == 0) {
            i = skipPast(i + 4, "-->");
        } else if (text.compare(i, 9, "<![CDATA[") == 0) {
            i = skipPast(i + 9, "]]>");
        } else if (i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '!' || text[i + 1] == '?')) {
            if (text[i + 1] == '/' && depth > 0) {
                --depth;
            }
            i = skipPast(i + 1, ">");
        } else {
            char quote = '\0';
            size_t j = i + 1;
            for (; j < text.size(); ++j) {
                if (quote != '\0') {
                    quote = text[j] == quote ? '\0' : quote;
                } else if (text[j] == '"' || text[j] == '\'') {
                    quote = text[j];
                } else if (text[j] == '>') {
                    break;
                }
            }
            if (j >= text.size() || text[j - 1] != '/') {
                deepest = std::max(deepest, ++depth);
            }
            i = j + 1;
        }
    }
    return deepest;
}

// Loads the document from the file, refusing nesting the parser cannot take.
bool loadXmlDocument(const char* fileName, TiXmlDocument& doc)
{
    FILE* file = fopen(fileName, "rbe");
    if (file == nullptr) {
        return false;
    }
    std::string text;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, n);
    }
    bool loaded = false;
    if (ferror(file) == 0 && xmlNestingDepth(text) > kMaxXmlDepth) {
        LOG_ERROR("XML elements nested deeper than %d levels: %s", kMaxXmlDepth, fileName);
    } else if (ferror(file) == 0 && fseek(file, 0, SEEK_SET) == 0) {
        loaded = doc.LoadFile(file);
    }
    fclose(file);
    return loaded;
}

}  // namespace

uint32_t hexToUint32(const std::string& text)
{
    return hexToUnsigned<uint32_t>(text);
}

uint64_t hexToUint64(const std::string& text)
{
    return hexToUnsigned<uint64_t>(text);
}

void readConfFileToMap(const std::string& confFileName, std::map<std::string, uint32_t>& confMap)
{
    readConfLines(confFileName, confMap, &hexToUint32);
}

void readConfFileToMap(const std::string& confFileName, std::map<std::string, uint64_t>& confMap)
{
    readConfLines(confFileName, confMap, &hexToUint64);
}

void VetuRestoreInit::readDeviceTypeInfo(const char* xmlFileName)
{
    if (xmlFileName == nullptr) {
        LOG_ERROR("xmlFileName is null.");
        return;
    }
    TiXmlDocument doc;
    if (!loadXmlDocument(xmlFileName, doc)) {
        LOG_ERROR("Failed to load XML file.");
        return;
    }
    const TiXmlElement* devices = doc.FirstChildElement("devices");
    if (devices == nullptr) {
        LOG_ERROR("'devices' element not found.");
        return;
    }
    std::vector<DeviceTypeInfo> types;
    for (const TiXmlElement* typeNode = devices->FirstChildElement("type"); typeNode != nullptr;
         typeNode = typeNode->NextSiblingElement("type")) {
        DeviceTypeInfo type;
        if (!readNameAndValue(typeNode, "type", type.name, type.value)) {
            continue;
        }
        LOG_DEBUG("device newType.name %s value 0x%0x", type.name.c_str(), type.value);
        type.classes = readDeviceClasses(typeNode);
        types.push_back(std::move(type));
    }
    m_vecDeviceTypeInfo.update([&types](std::vector<DeviceTypeInfo>& table) {
        table.insert(table.end(), std::make_move_iterator(types.begin()), std::make_move_iterator(types.end()));
    });
}

uint64_t VetuRestoreInit::querySpecialFsPkgid(const std::string& fsType)
{
    const auto configured = m_mapSpecialFsTypePkgId.load();
    const auto it = configured->find(fsType);
    if (it == configured->end()) {
        return 0;
    }
    LOG_INFO("filesystem type: %s, pkgid: %016lx", fsType.c_str(), it->second);
    return it->second;
}

std::string VetuRestoreInit::getFsTypeByPath(const std::string& path)
{
    const auto mounts = m_mapMountPointFsType.load();
    std::string candidate = path;
    while (!candidate.empty()) {
        const auto it = mounts->find(candidate);
        if (it != mounts->end()) {
            return it->second;
        }
        const auto slash = candidate.rfind('/');
        if (candidate == "/" || slash == std::string::npos) {
            break;
        }
        candidate = slash == 0 ? "/" : candidate.substr(0, slash);
    }
    return "";
}

uint64_t VetuRestoreInit::querySpecialFsPkgidByPath(const std::string& path)
{
    const std::string fsType = getFsTypeByPath(path);
    return fsType.empty() ? 0 : querySpecialFsPkgid(fsType);
}

std::map<std::string, uint32_t> VetuRestoreInit::getInterpreterTidMap()
{
    return *m_mapInterpreterTid.load();
}

std::map<std::string, uint64_t> VetuRestoreInit::getSpecialFsTypePkgIdMap()
{
    return *m_mapSpecialFsTypePkgId.load();
}
