// Package labelling; answers "org.freedesktop.DBus.Error.NotSupported"
// after the frame until its body is built.
#include "service/request_frame.h"

int32_t ContextMgrService::setLabelForPkg(const std::vector<std::string>& fileList, const std::string& pkgName, const uint32_t& pkgType, const std::string& sender)
{
    (void)fileList;
    (void)pkgName;
    (void)pkgType;
    return notSupported<Method::setLabelForPkg, int32_t>(sender);
}
