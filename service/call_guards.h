// Keeps a malformed call or a failing stub from ending the process: the bus
// library dereferences the interface field of every method call it
// dispatches, and lets any exception but its own errors escape its loop.
#pragma once

#include <dbus-c++/dbus.h>

// Answers every method call without an interface field with an error before
// the library's object dispatch sees it. Installed on the connection for the
// life of this object.
class NoInterfaceFilter {
public:
    explicit NoInterfaceFilter(DBus::Connection& connection);
    ~NoInterfaceFilter();
    NoInterfaceFilter(const NoInterfaceFilter&) = delete;
    NoInterfaceFilter& operator=(const NoInterfaceFilter&) = delete;

private:
    bool filter(const DBus::Message& message);

    DBus::Connection& m_connection;
    DBus::MessageSlot m_slot;
    bool m_installed = false;
};

// Wraps every stub of the table so that a standard or unknown exception
// becomes the error reply "org.freedesktop.DBus.Error.Failed"; the library's
// own errors pass unchanged.
void guardStubs(DBus::MethodTable& methods);
