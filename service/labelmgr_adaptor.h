// The interface adaptor com::ormel::vetu::labelmgr_adaptor, generated at
// build time from labelmgr_interface.xml (see labelmgr_adaptor.cmake). Its
// methods take the D-Bus in-arguments in table order followed by the
// caller's unique bus name.
#pragma once

#include <dbus-c++/dbus.h>

#include <string>

// The caller's unique bus name from the call's sender field; "" when the
// message has none, so that every caller check refuses it.
std::string vetuCallSender(const ::DBus::CallMessage& call);

#include "service/labelmgr_adaptor_generated.h"
