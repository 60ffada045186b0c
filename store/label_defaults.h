// Label constants and defaults: one name per meaning, so that the store,
// the relabel runs and new-file labels agree on them.
#pragma once

#include <cstdint>

// Inherit flags.
// Everything is passed on to what is created below the directory.
constexpr uint32_t kInheritFlagFull = 7;
// A directory that no configuration names.
constexpr uint32_t kUnconfiguredDirInheritFlag = kInheritFlagFull;
// The default label: what /run gets at start, and an unconfigured path that
// no package keeps files below.
constexpr uint32_t kDefaultLabelInheritFlag = 5;

// Type identifiers.
// A path that no interpreter entry names.
constexpr uint32_t kDefaultTid = 0;
// A file of a package of type 3 or 4.
constexpr uint32_t kFixedTypePkgTid = 2;

// Package types: 1 for the installed-package database; the package labelling
// method may register 1 to 4.
constexpr uint32_t kPkgTypeRpm = 1;
constexpr uint32_t kPkgTypeMax = 4;

// Whether files of a package of this type get kFixedTypePkgTid.
constexpr bool pkgTypeHasFixedTid(uint32_t pkgType)
{
    return pkgType == 3 || pkgType == 4;
}
