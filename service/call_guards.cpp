#include "service/call_guards.h"

#include <dbus/dbus-protocol.h>

#include <exception>
#include <string>
#include <utility>

#include "common/log_text.h"
#include "common/logger.h"

namespace {

constexpr const char kNoInterfaceError[] = "org.freedesktop.DBus.Error.UnknownInterface";
constexpr const char kNoInterfaceText[] = "method call without interface";
constexpr const char kStubFailureText[] = "internal error";

using StubSlot = DBus::Slot<DBus::Message, const DBus::CallMessage&>;

class GuardedStub : public DBus::Callback_Base<DBus::Message, const DBus::CallMessage&> {
public:
    GuardedStub(const std::string& method, const StubSlot& stub) : m_method(method), m_stub(stub) {}

    DBus::Message call(const DBus::CallMessage& message) const override
    {
        try {
            return m_stub.call(message);
        } catch (const DBus::Error&) {
            throw;
        } catch (const std::exception& e) {
            LOG_ERROR("%s stub exception: %s", m_method.c_str(), logSafe(e.what()).c_str());
        } catch (...) {
            LOG_ERROR("%s stub unknown exception occurred", m_method.c_str());
        }
        throw DBus::ErrorFailed(kStubFailureText);
    }

private:
    std::string m_method;
    StubSlot m_stub;
};

}  // namespace

NoInterfaceFilter::NoInterfaceFilter(DBus::Connection& connection) : m_connection(connection)
{
    m_slot = new DBus::Callback<NoInterfaceFilter, bool, const DBus::Message&>(this, &NoInterfaceFilter::filter);
    m_installed = m_connection.add_filter(m_slot);
    if (!m_installed) {
        LOG_ERROR("cannot install the method call filter");
    }
}

NoInterfaceFilter::~NoInterfaceFilter()
{
    if (m_installed) {
        m_connection.remove_filter(m_slot);
    }
}

bool NoInterfaceFilter::filter(const DBus::Message& message)
{
    if (message.type() != DBUS_MESSAGE_TYPE_METHOD_CALL) {
        return false;
    }
    // The type was tested: the library itself reads calls this way.
    const auto& call = static_cast<const DBus::CallMessage&>(message);
    if (call.interface() != nullptr) {
        return false;
    }
    const char* member = call.member();
    LOG_ERROR("refused method call without interface: member=%s", member == nullptr ? "" : member);
    DBus::ErrorMessage reply(call, kNoInterfaceError, kNoInterfaceText);
    m_connection.send(reply);
    return true;
}

void guardStubs(DBus::MethodTable& methods)
{
    for (auto& entry : methods) {
        // The guard holds its own reference to the generated stub's callback.
        auto* guarded = new GuardedStub(entry.first, entry.second);
        entry.second = guarded;
    }
}
