#include "platform/serial_port_common.h"

#include <cstdio>

bool port_path_given(const char* path, PortFailure& failure)
{
    failure = PortFailure{};
    if (path != nullptr)
        return true;
    failure.kind = PortFailureKind::Mistake;
    std::snprintf(failure.text, sizeof failure.text, "no port named");
    return false;
}
