#include "service/labelmgr_adaptor.h"

std::string vetuCallSender(const ::DBus::CallMessage& call)
{
    const char* sender = call.sender();
    return sender == nullptr ? std::string() : std::string(sender);
}
