#include "store/object_type_map.h"

namespace {

std::map<std::string, int> labelDataStaticInit()
{
    return {{"module", 1000}, {"device", 1001}, {"socket", 1002}};
}

}  // namespace

const std::map<std::string, int> objectTypeMap = labelDataStaticInit();
