// The request frame every method body runs in, written once:
//   1-3. rate limit, authorisation, whitelist (refusals are D-Bus errors);
//   4.   the body's argument checks ("org.freedesktop.DBus.Error.InvalidArgs");
//   5.   for the methods that wait: the wait until the store is ready, which
//        also ends, with the failure value, when the process stops;
//   6.   the work;
//   7.   a catch-all over 5 and 6: an exception is logged as
//        "<method> exception: %s" (or "<method> unknown exception occurred")
//        and the method answers its failure value.
// A method's rate class, wait and failure value come from its row of
// kMethodTable; a body is a check and a work function:
//
//   return runRequest<Method::getPkgId>(sender,
//       [&]() -> const char* { return pkgname.empty() ? "pkgname is empty" : nullptr; },
//       [&] { ...; return id; });
#pragma once

#include <dbus-c++/dbus.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <type_traits>

#include "service/context_mgr_service.h"
#include "service/method_log.h"
#include "service/method_table.h"

// An argument error found only in the work (after the wait): the frame lets
// it through to the client instead of turning it into the failure value.
// Like every error of the bus library, it keeps the pointers it is given:
// pass texts that outlive the reply (literals).
class LateArgumentError : public DBus::Error {
public:
    LateArgumentError(const char* name, const char* message) : DBus::Error(name, message) {}
};

// A check function for the bodies that take no argument worth checking.
constexpr auto kNoArgumentChecks = []() -> const char* { return nullptr; };

template <typename R>
constexpr bool failureFits(Failure failure)
{
    switch (failure) {
    case Failure::AllOnes:
        return std::is_unsigned<R>::value;
    case Failure::MinusOne:
        return std::is_signed<R>::value;
    case Failure::Zero:
        return std::is_integral<R>::value;
    case Failure::Empty:
        return !std::is_arithmetic<R>::value;
    }
    return false;
}

template <typename R>
R failureValue(Failure failure)
{
    if constexpr (std::is_unsigned<R>::value) {
        return failure == Failure::AllOnes ? std::numeric_limits<R>::max() : R(0);
    } else if constexpr (std::is_signed<R>::value) {
        return failure == Failure::MinusOne ? R(-1) : R(0);
    } else {
        return R();
    }
}

template <Method M, typename Check, typename Work>
auto ContextMgrService::runRequest(const std::string& sender, Check&& check, Work&& work) -> decltype(work())
{
    using Result = decltype(work());
    constexpr MethodTraits method = traitsOf(M);
    static_assert(failureFits<Result>(method.failure), "the table's failure value does not fit the result type");

    admitCaller(sender, method);
    if (const char* invalid = check()) {
        throw DBus::ErrorInvalidArgs(invalid);
    }
    const ServedMethod served(method.name);
    try {
        if (method.waits && !waitUntilReady()) {
            return failureValue<Result>(method.failure);
        }
        return work();
    } catch (const LateArgumentError&) {
        throw;
    } catch (const std::exception& e) {
        logWorkException(method, e.what());
    } catch (...) {
        logWorkException(method, nullptr);
    }
    return failureValue<Result>(method.failure);
}

