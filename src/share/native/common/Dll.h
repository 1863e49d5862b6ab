// Dynamic libraries: a loaded module with one reference, and typed functions that keep it.
#ifndef CORVELA_DLL_H
#define CORVELA_DLL_H

#include <string>

#include "ErrorHandling.h"
#include "SysInfo.h"
#include "tstrings.h"

// A loaded library holding exactly one reference to its module.
class Dll {
public:
    explicit Dll(const tstrings::Builder& path);
    // Takes over a reference to `path`'s module that the caller holds already.
    Dll(const tstrings::Builder& path, SysInfo::ModuleHandle loaded);
    Dll(const Dll& other);
    ~Dll();

    Dll& operator=(const Dll&) = delete;

    // Raises when the library does not export `name`.
    void* getFunction(const std::string& name) const;
    const tstring& path() const { return thePath; }

private:
    tstring thePath;
    SysInfo::ModuleHandle handle;
};

// A typed pointer to an exported function that keeps its library loaded for as long
// as it lives, independently of the Dll it was taken from.
template <class T> class DllFunction {
public:
    DllFunction(const Dll& library, const tstrings::Builder& name)
        : lib(library), funcPtr(nullptr), funcName(name.str()) {
        funcPtr = reinterpret_cast<T>(lib.getFunction(funcName));
    }

    operator T() const {
        if (!funcPtr) {
            THROW_ERROR(
                LauncherError((tstrings::Builder()
                                    << funcName << "() function is not available in " << lib.path())
                                       .str()));
        }
        return funcPtr;
    }

private:
    Dll lib;
    T funcPtr;
    std::string funcName;
};

#endif
