// Label queries and restores of one path or tree; each answers
// "org.freedesktop.DBus.Error.NotSupported" after the frame until its body is built.
#include "service/request_frame.h"

ContextMgrService::IdTriple ContextMgrService::getFileOid(const std::string& filepath, const std::string& sender)
{
    (void)filepath;
    return notSupported<Method::getFileOid, ContextMgrService::IdTriple>(sender);
}

ContextMgrService::IdTriple ContextMgrService::getFileSid(const std::string& filepath, const std::string& sender)
{
    (void)filepath;
    return notSupported<Method::getFileSid, ContextMgrService::IdTriple>(sender);
}

uint32_t ContextMgrService::getFileTid(const std::string& filepath, const std::string& sender)
{
    (void)filepath;
    return notSupported<Method::getFileTid, uint32_t>(sender);
}

uint32_t ContextMgrService::getFileInheritFlag(const std::string& filepath, const std::string& sender)
{
    (void)filepath;
    return notSupported<Method::getFileInheritFlag, uint32_t>(sender);
}

std::string ContextMgrService::restoreSingleFileLabel(const std::string& filepath, const std::string& sender)
{
    (void)filepath;
    return notSupported<Method::restoreSingleFileLabel, std::string>(sender);
}

std::string ContextMgrService::restoreSingleFileInitLabel(const std::string& filepath, const std::string& sender)
{
    (void)filepath;
    return notSupported<Method::restoreSingleFileInitLabel, std::string>(sender);
}

int32_t ContextMgrService::addTagFullSystem(const std::string& path, const std::vector<std::string>& excludedDir, const std::string& sender)
{
    (void)path;
    (void)excludedDir;
    return notSupported<Method::addTagFullSystem, int32_t>(sender);
}
