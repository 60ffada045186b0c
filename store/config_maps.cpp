// The configuration files, the device-type file and the lookups that read
// only what they hold.
#include <pthread.h>
#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "common/log_text.h"
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
        LOG_ERROR("open %s file error!\n", logSafe(confFileName).c_str());
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
            LOG_ERROR("get %s value failed. %s", logSafe(key).c_str(), logSafe(e.what()).c_str());
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
        LOG_DEBUG("device ClassNode %s value 0x%0x", logSafe(cls.name).c_str(), cls.value);
        for (const TiXmlElement* subNode = classNode->FirstChildElement("subclass"); subNode != nullptr;
             subNode = subNode->NextSiblingElement("subclass")) {
            DeviceSubclassInfo sub;
            if (!readNameAndValue(subNode, "subclass", sub.name, sub.value)) {
                continue;
            }
            LOG_DEBUG("device Subclass %s value 0x%0x", logSafe(sub.name).c_str(), sub.value);
            cls.subclasses.push_back(std::move(sub));
        }
        classes.push_back(std::move(cls));
    }
    return classes;
}

// TinyXML recurses per element level while it parses and frees a document
// (about 230 bytes of stack a level, 300 under TSan), and each element walks
// up to the document, so a parse costs the square of the depth. Whatever its
// tokenizer makes of the text, every level opens with a '<' byte: their count
// bounds the depth. A file with more of them than a device table needs is
// refused, and the parse runs on a stack sized for the count.
constexpr size_t kStackPerTag = 512;
constexpr size_t kStackBase = size_t(1) << 20;
constexpr size_t kMaxXmlTags = size_t(1) << 15;

bool readWholeFile(const char* fileName, std::string& text)
{
    FILE* file = fopen(fileName, "rbe");
    if (file == nullptr) {
        return false;
    }
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, n);
    }
    const bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

struct StackedCall {
    const std::function<void()>* body;
    bool threw;
};

void* runStackedCall(void* arg)
{
    auto* call = static_cast<StackedCall*>(arg);
    try {
        (*call->body)();
    } catch (...) {
        call->threw = true;
    }
    return nullptr;
}

// Runs body on a thread of its own with the given stack; false when the
// thread could not be made or body threw.
bool runOnStack(size_t stackBytes, const std::function<void()>& body)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    StackedCall call{&body, false};
    pthread_t thread;
    int rc = pthread_attr_setstacksize(&attr, stackBytes);
    if (rc == 0) {
        rc = pthread_create(&thread, &attr, runStackedCall, &call);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        LOG_ERROR("can not start the XML parse with a stack of %zu bytes: %s", stackBytes, strerror(rc));
        return false;
    }
    pthread_join(thread, nullptr);
    return !call.threw;
}

enum class XmlLoad { Loaded, Unloadable, NoDevices };

// Parses the bytes as TinyXML loads a file and collects the device types;
// the document lives and dies on the calling thread.
XmlLoad parseDeviceTypes(const std::string& text, std::vector<DeviceTypeInfo>& types)
{
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (file == nullptr) {
        return XmlLoad::Unloadable;
    }
    TiXmlDocument doc;
    const bool loaded = doc.LoadFile(file);
    fclose(file);
    if (!loaded) {
        return XmlLoad::Unloadable;
    }
    const TiXmlElement* devices = doc.FirstChildElement("devices");
    if (devices == nullptr) {
        return XmlLoad::NoDevices;
    }
    for (const TiXmlElement* typeNode = devices->FirstChildElement("type"); typeNode != nullptr;
         typeNode = typeNode->NextSiblingElement("type")) {
        DeviceTypeInfo type;
        if (!readNameAndValue(typeNode, "type", type.name, type.value)) {
            continue;
        }
        LOG_DEBUG("device newType.name %s value 0x%0x", logSafe(type.name).c_str(), type.value);
        type.classes = readDeviceClasses(typeNode);
        types.push_back(std::move(type));
    }
    return XmlLoad::Loaded;
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
    // The bytes counted are the bytes parsed.
    std::string text;
    const bool read = readWholeFile(xmlFileName, text);
    const size_t tags = static_cast<size_t>(std::count(text.begin(), text.end(), '<'));
    if (read && tags > kMaxXmlTags) {
        LOG_ERROR("XML file holds %zu '<', more than the %zu allowed: %s", tags, kMaxXmlTags, xmlFileName);
    }
    std::vector<DeviceTypeInfo> types;
    XmlLoad result = XmlLoad::Unloadable;
    if (read && tags <= kMaxXmlTags &&
        !runOnStack(kStackBase + tags * kStackPerTag, [&] { result = parseDeviceTypes(text, types); })) {
        result = XmlLoad::Unloadable;
    }
    if (result == XmlLoad::Unloadable) {
        LOG_ERROR("Failed to load XML file.");
        return;
    }
    if (result == XmlLoad::NoDevices) {
        LOG_ERROR("'devices' element not found.");
        return;
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
    LOG_INFO("filesystem type: %s, pkgid: %016lx", logSafe(fsType).c_str(), it->second);
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
