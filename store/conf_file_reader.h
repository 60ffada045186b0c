// Readers of the label configuration files: lines of key=hexvalue with
// '#' comments; blanks anywhere in a line do not count.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// The value of a configuration line; throws std::invalid_argument with
// "Invalid number format" or "Conversion failed".
uint32_t hexToUint32(const std::string& text);
uint64_t hexToUint64(const std::string& text);

// Adds the entries of the file to the map (a repeated key overwrites). A bad
// value ends the reading at that line; what was read before stays.
void readConfFileToMap(const std::string& confFileName, std::map<std::string, uint32_t>& confMap);
void readConfFileToMap(const std::string& confFileName, std::map<std::string, uint64_t>& confMap);
