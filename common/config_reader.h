// INI-style readers: section name to (key to value).
#pragma once

#include <map>
#include <string>
#include <unordered_map>

using ConfigHashMap = std::unordered_map<std::string, std::unordered_map<std::string, std::string>>;
using ConfigMap = std::map<std::string, std::map<std::string, std::string>>;

// Lines and both sides of '=' are trimmed; '#' comments; key lines before the
// first section header are ignored.
ConfigHashMap parseConfig(const std::string& path);
// Leading blanks are dropped, '#' and ';' comments; a value ends at its first
// blank. Key lines before the first section header go to the section "".
ConfigMap readConfig(const std::string& path);
