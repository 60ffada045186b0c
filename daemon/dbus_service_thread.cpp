#include "daemon/dbus_service_thread.h"

#include <fcntl.h>
#include <poll.h>

#include <dbus-c++/dbus.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "common/logger.h"
#include "restore/vetu_restore_context.h"
#include "service/context_mgr_service.h"
#include "store/vetu_restore_init.h"

namespace {

// Without the wake eventfd the loop looks at the stop flag this often.
constexpr int kStopPollMs = 100;
constexpr int kBusRetryPauseMs = 2000;

// Owns the service object, whatever its type.
using ServiceHandle = std::shared_ptr<void>;

// The service object on the connection: it registers its object path there.
ServiceHandle buildLabelService(DBus::Connection& connection, VetuRestoreInit& store, VetuRestoreContext& context,
                                const std::atomic<bool>& stop)
{
    return std::make_shared<ContextMgrService>(connection, store, context, stop);
}

void logServiceExit(int line)
{
    Logger::getInstance()->logInfoCategory("dbusServiceInit", line, "vetu dbus service exit.");
}

DBus::BusDispatcher& busDispatcher()
{
    static DBus::BusDispatcher dispatcher;
    // Its wake pipe is no business of the programs the daemon starts.
    static const bool closedOnExec = [] {
        for (const int fd : dispatcher._fdunlock) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        return true;
    }();
    (void)closedOnExec;
    return dispatcher;
}

// True when stop was set within the pause. The wake eventfd stays readable
// once the stop has written it.
bool pauseUnlessStopped(const std::atomic<bool>& stop, int wakeFd)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusRetryPauseMs);
    while (!stop.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd fd{wakeFd, POLLIN, 0};
        poll(&fd, 1, wakeFd >= 0 ? static_cast<int>(left) : std::min<int>(static_cast<int>(left), kStopPollMs));
    }
    return true;
}

// One connection's life: 0 after an orderly stop, -1 with the failure when
// it could not be set up or was lost.
int serveOnce(const std::atomic<bool>& stop, int wakeFd, std::string& failure)
{
    DBus::BusDispatcher& dispatcher = busDispatcher();
    try {
        DBus::Connection connection = DBus::Connection::SystemBus();
        // A bus that goes away must not end the process: the kernel is
        // still served, and the bus is tried again.
        connection.exit_on_disconnect(false);
        connection.request_name(kLabelMgrBusName);
        ServiceHandle service =
            buildLabelService(connection, VetuRestoreInit::getInstance(), VetuRestoreContext::getInstance(), stop);
        // leave() before enter() would make enter() spin: the loop is ours.
        // It sleeps on the connection and the wake eventfd (which stays
        // readable once the stop has written it); without the eventfd it
        // looks at the flag every kStopPollMs.
        std::unique_ptr<DBus::DefaultWatch> stopWatch;
        std::unique_ptr<DBus::DefaultTimeout> tick;
        if (wakeFd >= 0) {
            stopWatch = std::make_unique<DBus::DefaultWatch>(wakeFd, POLLIN, &dispatcher);
        } else {
            tick = std::make_unique<DBus::DefaultTimeout>(kStopPollMs, true, &dispatcher);
        }
        while (!stop.load() && connection.connected()) {
            dispatcher.do_iteration();
        }
        if (!stop.load()) {
            failure = "the bus connection was lost";
            return -1;
        }
        logServiceExit(__LINE__);
        service.reset();
        return 0;
    } catch (const DBus::Error& e) {
        failure = std::string(e.name() != nullptr ? e.name() : "") + ": " + (e.message() != nullptr ? e.message() : "");
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    return -1;
}

}  // namespace

void dbusServiceInit(const std::atomic<bool>& stop, int wakeFd)
{
    LOG_INFO_CATEGORY("vetu dbus service init.");
    DBus::default_dispatcher = &busDispatcher();
    std::string lastFailure;
    while (!stop.load()) {
        std::string failure;
        if (serveOnce(stop, wakeFd, failure) == 0) {
            return;
        }
        // The same failure again and again is logged once.
        if (failure != lastFailure) {
            LOG_ERROR("dbus service setup failed, retrying: %s", failure.c_str());
            lastFailure = failure;
        }
        if (pauseUnlessStopped(stop, wakeFd)) {
            break;
        }
    }
    logServiceExit(__LINE__);
}
