// Fixed upper halves of the identifiers of kernel objects that carry no path.
#pragma once

#include <map>
#include <string>

// "module" 1000, "device" 1001, "socket" 1002; built before main.
extern const std::map<std::string, int> objectTypeMap;
