#include "common/config_reader.h"

#include <fstream>

#include "common/log_text.h"
#include "common/logger.h"
#include "common/path_utils.h"

ConfigHashMap parseConfig(const std::string& path)
{
    ConfigHashMap result;
    std::ifstream in(path);
    if (!in.is_open()) {
        LOG_ERROR("Failed to open file: %s", logSafe(path).c_str());
        return result;
    }
    std::string line;
    std::string section;
    bool inSection = false;
    while (std::getline(in, line)) {
        line = trimString(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (line.size() >= 2 && line.back() == ']') {
                section = line.substr(1, line.size() - 2);
                inSection = true;
                result[section];
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || !inSection) {
            continue;
        }
        result[section][trimString(line.substr(0, eq))] = trimString(line.substr(eq + 1));
    }
    return result;
}

namespace {

std::string dropLeadingBlanks(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first);
}

// Without leading blanks, cut at the first blank, carriage return or newline.
std::string firstWord(const std::string& text)
{
    const std::string rest = dropLeadingBlanks(text);
    return rest.substr(0, rest.find_first_of(" \t\r\n"));
}

}  // namespace

ConfigMap readConfig(const std::string& path)
{
    ConfigMap result;
    std::ifstream in(path);
    if (!in.is_open()) {
        LOG_ERROR("can not open file %s", logSafe(path).c_str());
        return result;
    }
    std::string raw;
    std::string section;
    while (std::getline(in, raw)) {
        const std::string line = dropLeadingBlanks(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close != std::string::npos) {
                section = line.substr(1, close - 1);
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = firstWord(line.substr(0, eq));
        if (!key.empty()) {
            result[section][key] = firstWord(line.substr(eq + 1));
        }
    }
    return result;
}
