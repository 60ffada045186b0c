// Layout of memory_data.json: the identity maps as cereal's JSON archive
// writes them, one named member per map under "value0".
#pragma once

#include <string>
#include <string_view>

#include "store/identity_maps.h"

// The JSON text of the maps, each map copied under its own lock in turn.
// Returns 0, or -1 with the archive's error text.
int saveIdentityDataJson(const IdentityMaps& maps, std::string& json, std::string& error);

// Replaces the 28 persisted maps with the content of the text, all of them or
// none: a text that is not valid JSON, lacks a map or holds a value of the
// wrong kind returns -1 with the archive's error text and changes nothing.
// The path-to-category index is left alone.
int loadIdentityDataJson(std::string_view json, IdentityMaps& maps, std::string& error);
