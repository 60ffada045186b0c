// The 46 methods of the interface "com.ormel.vetu.labelmgr" in registration
// order, with what the request frame needs to know of each: its rate class,
// whether it waits for the data store to be ready, and what it answers when
// its work fails. The one place these are declared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "service/rate_limiter.h"

enum class Method : std::size_t {
    getPkgId,
    getPkgIds,
    setPkgId,
    queryUserSetPkgId,
    showUserSetPkgId,
    delUserSetPkgId,
    delAllUserSetPkgId,
    getFileOid,
    setFileOid,
    queryUserSetFileOid,
    showUserSetFileOid,
    delUserSetFileOid,
    delAllUserSetFileOid,
    getFileSid,
    setFileSid,
    queryUserSetFileSid,
    showUserSetFileSid,
    delUserSetFileSid,
    delAllUserSetFileSid,
    getFileTid,
    setFileTid,
    queryUserSetFileTid,
    showUserSetFileTid,
    delUserSetFileTid,
    delAllUserSetFileTid,
    getFileInheritFlag,
    setFileInheritFlag,
    queryUserSetFileInheritFlag,
    showUserSetFileInheritFlag,
    delUserSetFileInheritFlag,
    delAllUserSetFileInheritFlag,
    setLabelForPkg,
    getKernelModuleOid,
    getKernelModuleOids,
    getDeviceOid,
    getDeviceOids,
    addTagFullSystem,
    getPathSm3HashValue,
    policies_parse,
    restoreSingleFileLabel,
    restoreSingleFileInitLabel,
    getLabelSetStatus,
    setLabelForQuensetInterpreter,
    setLabelForSoviInterpreter,
    pathNormalize,
    getPkgNameById,
    count
};

// What a method answers when its work fails or the wait for the store ends
// on the stop flag.
enum class Failure {
    AllOnes,   // every bit set (t, u)
    MinusOne,  // -1 (i)
    Empty,     // empty string or map
    Zero,      // no failing work: 0
};

struct MethodTraits {
    const char* name;    // the D-Bus member name, also the whitelist section
    uint32_t rateClass;  // rate_limiter.h
    bool waits;          // waits for the data store to be ready
    Failure failure;
};

inline constexpr MethodTraits kMethodTable[] = {
    {"getPkgId",                      kRateClassQuery, true,  Failure::AllOnes},
    {"getPkgIds",                     kRateClassQuery, true,  Failure::MinusOne},
    {"setPkgId",                      kRateClassChange, true,  Failure::MinusOne},
    {"queryUserSetPkgId",             kRateClassQuery, true,  Failure::Empty},
    {"showUserSetPkgId",              kRateClassQuery, true,  Failure::Empty},
    {"delUserSetPkgId",               kRateClassChange, true,  Failure::MinusOne},
    {"delAllUserSetPkgId",            kRateClassChange, true,  Failure::MinusOne},
    {"getFileOid",                    kRateClassQuery, true,  Failure::Empty},
    {"setFileOid",                    kRateClassChange, true,  Failure::MinusOne},
    {"queryUserSetFileOid",           kRateClassQuery, true,  Failure::Empty},
    {"showUserSetFileOid",            kRateClassQuery, true,  Failure::Empty},
    {"delUserSetFileOid",             kRateClassChange, true,  Failure::MinusOne},
    {"delAllUserSetFileOid",          kRateClassChange, true,  Failure::MinusOne},
    {"getFileSid",                    kRateClassQuery, true,  Failure::Empty},
    {"setFileSid",                    kRateClassChange, true,  Failure::MinusOne},
    {"queryUserSetFileSid",           kRateClassQuery, true,  Failure::Empty},
    {"showUserSetFileSid",            kRateClassQuery, true,  Failure::Empty},
    {"delUserSetFileSid",             kRateClassChange, true,  Failure::MinusOne},
    {"delAllUserSetFileSid",          kRateClassChange, true,  Failure::MinusOne},
    {"getFileTid",                    kRateClassQuery, true,  Failure::AllOnes},
    {"setFileTid",                    kRateClassChange, true,  Failure::MinusOne},
    {"queryUserSetFileTid",           kRateClassQuery, true,  Failure::Empty},
    {"showUserSetFileTid",            kRateClassQuery, true,  Failure::Empty},
    {"delUserSetFileTid",             kRateClassChange, true,  Failure::MinusOne},
    {"delAllUserSetFileTid",          kRateClassChange, true,  Failure::MinusOne},
    {"getFileInheritFlag",            kRateClassQuery, true,  Failure::AllOnes},
    {"setFileInheritFlag",            kRateClassChange, true,  Failure::MinusOne},
    {"queryUserSetFileInheritFlag",   kRateClassQuery, true,  Failure::Empty},
    {"showUserSetFileInheritFlag",    kRateClassQuery, true,  Failure::Empty},
    {"delUserSetFileInheritFlag",     kRateClassChange, true,  Failure::MinusOne},
    {"delAllUserSetFileInheritFlag",  kRateClassChange, true,  Failure::MinusOne},
    {"setLabelForPkg",                kRateClassChange, false, Failure::MinusOne},
    {"getKernelModuleOid",            kRateClassQuery, true,  Failure::AllOnes},
    {"getKernelModuleOids",           kRateClassQuery, true,  Failure::Empty},
    {"getDeviceOid",                  kRateClassQuery, true,  Failure::AllOnes},
    {"getDeviceOids",                 kRateClassQuery, true,  Failure::Empty},
    {"addTagFullSystem",              kRateClassHeavy, true,  Failure::MinusOne},
    {"getPathSm3HashValue",           kRateClassQuery, true,  Failure::Empty},
    {"policies_parse",                kRateClassHeavy, true,  Failure::Empty},
    {"restoreSingleFileLabel",        kRateClassChange, true,  Failure::Empty},
    {"restoreSingleFileInitLabel",    kRateClassChange, true,  Failure::Empty},
    {"getLabelSetStatus",             kRateClassQuery, false, Failure::Zero},
    {"setLabelForQuensetInterpreter", kRateClassChange, false, Failure::Zero},
    {"setLabelForSoviInterpreter",    kRateClassChange, false, Failure::Zero},
    {"pathNormalize",                 kRateClassQuery, false, Failure::Empty},
    {"getPkgNameById",                kRateClassQuery, true,  Failure::Empty},
};

static_assert(sizeof(kMethodTable) / sizeof(kMethodTable[0]) == static_cast<std::size_t>(Method::count),
              "one row per method");

constexpr const MethodTraits& traitsOf(Method method)
{
    return kMethodTable[static_cast<std::size_t>(method)];
}
