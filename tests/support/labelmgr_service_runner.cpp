#include "support/labelmgr_service_runner.h"

#include <chrono>
#include <cstdlib>

#include "restore/vetu_restore_context.h"

namespace {
constexpr int kLoopWakeMs = 50;
constexpr auto kStartLimit = std::chrono::seconds(10);
}  // namespace

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
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (m_state.load() == kStarting && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
        DBus::DefaultTimeout wake(kLoopWakeMs, true, &dispatcher);
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
