// The device-type table: types hold classes, classes hold subclasses, each
// in the order of the device-type file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DeviceSubclassInfo {
    std::string name;
    int32_t value = 0;
};

struct DeviceClassInfo {
    std::string name;
    int32_t value = 0;
    std::vector<DeviceSubclassInfo> subclasses;
};

struct DeviceTypeInfo {
    std::string name;
    int32_t value = 0;
    std::vector<DeviceClassInfo> classes;
};
