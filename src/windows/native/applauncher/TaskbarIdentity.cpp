// Taskbar identity (TaskbarIdentity.h): shell32 loaded for one call, only when it is needed.
#include "TaskbarIdentity.h"

#include <windows.h>

#include "CfgFile.h"
#include "Dll.h"
#include "ErrorHandling.h"
#include "Log.h"
#include "SysInfo.h"
#include "WindowsSupport.h"

namespace {

typedef HRESULT(WINAPI* SetAppIdFunc)(PCWSTR);

// Looked up at run time: the launchers import nothing from shell32, whose loading costs
// every start, and most images never ask for an ID.
const char* const setAppIdName = "SetCurrentProcessExplicitAppUserModelID";

tstring configuredId(const CfgFile& cfg) {
    const PropertyMap& application = cfg.sectionProperties(SectionName::Application);
    const PropertyMap::const_iterator entry = application.find(PropertyName::userModelId);
    return entry == application.end() ? tstring() : lastValue(entry->second);
}

} // namespace

namespace TaskbarIdentity {

std::unique_ptr<Dll> apply(const CfgFile& cfg) {
    const tstring id = configuredId(cfg);
    if (id.empty()) {
        return nullptr;
    }
    // By its full path: a shell32.dll beside the image must never stand in for the system's.
    std::unique_ptr<Dll> shell32(
        new Dll(tstrings::Builder() << SysInfo::getSystemDirectory() << L"\\shell32.dll"));
    // Raises when shell32 lacks the function; the Dll stays loaded for the call.
    const SetAppIdFunc setAppId =
        reinterpret_cast<SetAppIdFunc>(shell32->getFunction(setAppIdName));
    const HRESULT result = setAppId(id.c_str());
    if (FAILED(result)) {
        THROW_SYSTEM_ERROR_CODE(static_cast<unsigned long>(result), setAppId,
                                setAppIdName << L"(" << id << L") failed: the value of "
                                             << PropertyName::userModelId.name()
                                             << L" in [Application]");
    }
    LOG_TRACE(setAppIdName << L"(" << id << L"): OK");
    return shell32;
}

} // namespace TaskbarIdentity
