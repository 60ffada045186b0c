#include "support/labelmgr_service_runner.h"

#include <cstdlib>

#include "restore/vetu_restore_context.h"
#include "support/run_process.h"

LabelMgrServiceRunner::LabelMgrServiceRunner(VetuRestoreInit& store, const std::atomic<bool>& stopFlag)
    : LabelMgrServiceRunner([&store, &stopFlag](DBus::Connection& connection) {
          return std::make_unique<ContextMgrService>(connection, store, VetuRestoreContext::getInstance(),
                                                     stopFlag);
      })
{
}

LabelMgrServiceRunner::LabelMgrServiceRunner(Factory factory)
{
    m_thread = std::thread([this, factory] { run(factory); });
    waitFor([this] { return m_state.load() != kStarting; }, 10);
}

LabelMgrServiceRunner::~LabelMgrServiceRunner()
{
    m_quit = true;
    m_thread.join();
}

void LabelMgrServiceRunner::run(const Factory& factory)
{
    try {
        DBus::BusDispatcher dispatcher;
        DBus::default_dispatcher = &dispatcher;
        // Not the library's shared connection: each test's bus is new.
        const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
        DBus::Connection connection(address == nullptr ? "" : address, true);
        connection.register_bus();
        connection.request_name(kLabelMgrBusName);
        std::unique_ptr<ContextMgrService> service = factory(connection);
        DBus::DefaultTimeout wake(50, true, &dispatcher);  // to see m_quit
        m_state = kServing;
        while (!m_quit.load()) {
            dispatcher.do_iteration();
        }
        service.reset();
        DBus::default_dispatcher = nullptr;
    } catch (const std::exception&) {
        m_state = kFailed;
    }
}
