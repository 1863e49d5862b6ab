// System information: module paths, command-line arguments, environment, system directory.
#ifndef CORVELA_SYSINFO_H
#define CORVELA_SYSINFO_H

#include "tstrings.h"

struct HINSTANCE__;

namespace SysInfo {

typedef HINSTANCE__* ModuleHandle;

ModuleHandle getCurrentModuleHandle();
tstring getCurrentModulePath();
tstring getProcessModulePath();

// The arguments after the program name, unquoted.
tstring_array getCommandArgs();

tstring getEnvVariable(const tstring& name);
tstring getEnvVariable(const tstring& name, const tstring& defaultValue);
void setEnvVariable(const tstring& name, const tstring& value);

tstring getSystemDirectory();

} // namespace SysInfo

#endif
