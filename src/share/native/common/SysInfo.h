// System information: module paths, command-line arguments, environment, system directory.
#ifndef CORVELA_SYSINFO_H
#define CORVELA_SYSINFO_H

#include "tstrings.h"

struct HINSTANCE__;

namespace SysInfo {

enum ProgramNameMode { KeepProgramName = 0, DropProgramName = 1 };

typedef HINSTANCE__* ModuleHandle;

ModuleHandle getCurrentModuleHandle();
tstring getCurrentModulePath();
tstring getProcessModulePath();

tstring_array getCommandArgs(ProgramNameMode mode = DropProgramName);

tstring getEnvVariable(const tstring& name);
tstring getEnvVariable(const tstring& name, const tstring& defaultValue);
void setEnvVariable(const tstring& name, const tstring& value);

tstring getSystemDirectory();

} // namespace SysInfo

#endif
