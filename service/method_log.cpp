#include "service/method_log.h"

namespace {

thread_local const char* t_served = nullptr;

}  // namespace

const char* servedMethod() { return t_served; }

ServedMethod::ServedMethod(const char* name) : m_previous(t_served) { t_served = name; }

ServedMethod::~ServedMethod() { t_served = m_previous; }
