#include "sim/utility/UtilityDriver.h"

#include "sim/kernel/RaceDetector.h"
#include "sim/soc/Soc.h"

#include <cstring>
#include <map>

namespace sim {

namespace {
std::map<DWORD, UtilityDriver*>& drivers()
{
    static std::map<DWORD, UtilityDriver*> all;
    return all;
}
DWORD gNextContext = 0x07170001;
}  // namespace

UtilityDriver::UtilityDriver() : context_(gNextContext++)
{
    drivers()[context_] = this;
}

UtilityDriver::~UtilityDriver()
{
    drivers().erase(context_);
}

bool UtilityDriver::open(DWORD access, DWORD shareMode, DWORD& error)
{
    if (failOpens_ > 0) {
        --failOpens_;
        error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    ++opens_;
    return true;
}

BOOL UtilityDriver::ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    if (code != kIoctlUtlGetInterface) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    ++interfaceRequests_;
    if (refuseInterface_) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (out == nullptr || outSize < sizeof(UtlInterface)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UtlInterface utl{};
    utl.context = context_;
    utl.map = &UtilityDriver::map;
    std::memcpy(out, &utl, sizeof utl);
    if (returned != nullptr) {
        *returned = sizeof(UtlInterface);
    }
    return TRUE;
}

DWORD UtilityDriver::map(DWORD context, DWORD base, DWORD size, DWORD zero, PVOID* mapped)
{
    race::KernelScope unobserved;
    auto it = drivers().find(context);
    Soc* soc = Soc::active();
    if (it == drivers().end() || mapped == nullptr || zero != 0 || soc == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD error = ERROR_SUCCESS;
    void* address = soc->mapWindow(base, size, error);
    if (address == nullptr) {
        return error;
    }
    ++it->second->maps_;
    *mapped = address;
    return ERROR_SUCCESS;
}

}  // namespace sim
