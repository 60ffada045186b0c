// Lines that a method body logs carry the D-Bus method's name as their
// function name, as they always have, also from the lambdas and the verbs
// shared by several methods that the body runs in.
#pragma once

#include "common/logger.h"

// The method being served on this thread, or nullptr.
const char* servedMethod();

// Names the method served on this thread for its lifetime.
class ServedMethod {
public:
    explicit ServedMethod(const char* name);
    ~ServedMethod();
    ServedMethod(const ServedMethod&) = delete;
    ServedMethod& operator=(const ServedMethod&) = delete;

private:
    const char* m_previous;
};

#define METHOD_LOG(level, ...) \
    Logger::getInstance()->level(servedMethod() != nullptr ? servedMethod() : __FUNCTION__, __LINE__, __VA_ARGS__)
