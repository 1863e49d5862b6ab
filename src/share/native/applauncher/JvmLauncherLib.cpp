// Launch data block: its layout, the exported table, and the call of JLI_Launch.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <windows.h>

#include "ErrorHandling.h"
#include "LauncherLog.h"
#include "JvmLauncher.h"
#include "Log.h"
#include "StandardError.h"
#include "UniqueResource.h"
#include "app.h"

namespace {

static_assert(sizeof(JvmlLauncherData) == 40, "the block header is 40 bytes");
static_assert(sizeof(void*) == 8, "the block layout has 64-bit pointers");

typedef unsigned char jboolean;
typedef int (*JliLaunchFunc)(int argc, char** argv, int jargc, const char** jargv, int appclassc,
                             const char** appclassv, const char* fullversion,
                             const char* dotversion, const char* pname, const char* lname,
                             jboolean javaargs, jboolean cpwildcard, jboolean javaw, int ergo);

// The arrays after the first string are not aligned: every pointer goes in and out through
// memcpy so that no unaligned access is made by the compiler's choice.
void storePointer(char* at, const void* pointer) {
    memcpy(at, &pointer, sizeof(pointer));
}

template <class T> T loadPointer(const void* at) {
    T pointer;
    memcpy(&pointer, at, sizeof(pointer));
    return pointer;
}

// Lays out the packed regions one after the other; with no buffer it only counts.
class BlockWriter {
public:
    explicit BlockWriter(char* base) : base(base) { size.add(sizeof(JvmlLauncherData)); }

    // Reserves `bytes` and returns where they start (null when only counting).
    char* reserve(std::uint64_t bytes) {
        char* at = base ? base + size.value() : nullptr;
        size.add(bytes);
        return at;
    }

    char* copy(const void* data, std::uint64_t bytes) {
        char* at = reserve(bytes);
        if (at) {
            memcpy(at, data, static_cast<size_t>(bytes));
        }
        return at;
    }

    std::int32_t checkedSize() const { return size.checked(); }

private:
    char* base;
    JvmlLauncherDataSize size;
};

// Returns where the pointer array starts (null when only counting).
char* writeWideArray(BlockWriter& writer, const tstring_array& items) {
    char* array = writer.reserve(std::uint64_t(items.size()) * sizeof(void*));
    for (size_t i = 0; i < items.size(); ++i) {
        char* text = writer.copy(items[i].c_str(), (std::uint64_t(items[i].size()) + 1) * 2);
        if (array) {
            storePointer(array + i * sizeof(void*), text);
        }
    }
    return array;
}

void closeHandle(JvmlLauncherHandle handle) {
    try {
        delete static_cast<JliLaunchData*>(handle);
    }
    CATCH_AND_LOG
}

std::int32_t getJvmlLauncherDataSize(JvmlLauncherHandle handle) {
    try {
        return static_cast<const JliLaunchData*>(handle)->initJvmlLauncherData(nullptr);
    }
    CATCH_AND_LOG
    return -1;
}

JvmlLauncherData* initJvmlLauncherData(JvmlLauncherHandle handle, void* buffer,
                                       std::int32_t bufferSize) {
    try {
        const JliLaunchData* data = static_cast<const JliLaunchData*>(handle);
        const std::int32_t size = data->initJvmlLauncherData(nullptr);
        // Only a buffer of exactly the block's size is written: a smaller one would
        // overflow, and a caller that passes a larger one has not asked for this block.
        if (!buffer || bufferSize != size) {
            return nullptr;
        }
        JvmlLauncherData* block = static_cast<JvmlLauncherData*>(buffer);
        data->initJvmlLauncherData(block);
        return block;
    }
    CATCH_AND_LOG
    return nullptr;
}

const JvmlLauncherAPI api = {closeHandle, getJvmlLauncherDataSize, initJvmlLauncherData};

} // namespace

JvmlLauncherDataSize& JvmlLauncherDataSize::add(std::uint64_t bytes) {
    // Saturate rather than wrap: a total past the limit stays past it.
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    total = bytes > max - total ? max : total + bytes;
    return *this;
}

std::int32_t JvmlLauncherDataSize::checked() const {
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        THROW_ERROR(LauncherError((tstrings::Builder() << L"JvmlLauncherData of " << total
                                                            << L" bytes exceeds the limit of 2 GiB")
                                           .str()));
    }
    return static_cast<std::int32_t>(total);
}

JliLaunchData::JliLaunchData(const tstring& libraryPath, const tstring_array& args,
                             const tstring_array& envNames, const tstring_array& envValues)
    : libraryPath(tstrings::toUtf8(libraryPath)), envNames(envNames), envValues(envValues) {
    argList.reserve(args.size());
    for (const tstring& arg : args) {
        argList.push_back(tstrings::toACP(arg));
    }
}

std::int32_t JliLaunchData::initJvmlLauncherData(JvmlLauncherData* buffer) const {
    // The caller has sized the block with a counting pass before it passes a buffer.
    char* const base = reinterpret_cast<char*>(buffer);
    BlockWriter writer(base);

    char* path = writer.copy(libraryPath.c_str(), std::uint64_t(libraryPath.size()) + 1);
    char* argArray = writer.reserve((std::uint64_t(argList.size()) + 1) * sizeof(void*));
    if (buffer) {
        // The header sits at the start of an allocated buffer and is aligned.
        buffer->libraryPath = path;
        buffer->argValues = reinterpret_cast<char**>(argArray);
        buffer->argCount = static_cast<std::int32_t>(argList.size());
        storePointer(argArray + argList.size() * sizeof(void*), nullptr);
    }
    for (size_t i = 0; i < argList.size(); ++i) {
        char* text = writer.copy(argList[i].c_str(), std::uint64_t(argList[i].size()) + 1);
        if (argArray) {
            storePointer(argArray + i * sizeof(void*), text);
        }
    }
    // With no variables both array pointers end up just past the block.
    char* names = writeWideArray(writer, envNames);
    char* values = writeWideArray(writer, envValues);
    if (buffer) {
        buffer->envCount = static_cast<std::int32_t>(envNames.size());
        buffer->envNameValues = reinterpret_cast<wchar_t**>(names);
        buffer->envValueValues = reinterpret_cast<wchar_t**>(values);
    }

    const std::int32_t size = writer.checkedSize();
    if (buffer) {
        LOG_TRACE(L"Initialized " << size << L" bytes at " << static_cast<const void*>(buffer)
                                  << L" address");
    } else {
        LOG_TRACE(L"Need " << size << L" bytes for JvmlLauncherData buffer");
    }
    return size;
}

JvmlLauncherData* makeJvmlLauncherData(const JvmlLauncherAPI* api, JvmlLauncherHandle handle,
                                       std::int32_t* size) {
    if (!handle) {
        return nullptr;
    }
    JvmlLauncherData* result = nullptr;
    const std::int32_t needed = api->getJvmlLauncherDataSize(handle);
    if (needed > 0) {
        UniqueMallocMemory<void> buffer(malloc(static_cast<size_t>(needed)));
        if (!buffer) {
            debugPrintf("%s", crtErrorText().c_str());
        } else {
            result = api->initJvmlLauncherData(handle, buffer.get(), needed);
            if (result) {
                // The caller owns the block from now on.
                buffer.release();
                if (size) {
                    *size = needed;
                }
            }
        }
    }
    api->closeHandle(handle);
    return result;
}

extern "C" {

const JvmlLauncherAPI* jvmLauncherGetAPI(void) {
    return &api;
}

void debugPrintf(const char* format, ...) {
    const app::DebugSwitch debug = app::debugSwitch();
    if (debug == app::DebugSwitch::Off) {
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string line = tstrings::vformatPrintf(format, args);
    va_end(args);
    if (debug == app::DebugSwitch::File) {
        LauncherLog::traceLine(line);
    } else {
        StandardError::writeLine(line);
    }
}

int startJvm(const JvmlLauncherData* data, void* launchFunc) {
    const char* const argv = reinterpret_cast<const char*>(data->argValues);
    const char* const names = reinterpret_cast<const char*>(data->envNameValues);
    const char* const values = reinterpret_cast<const char*>(data->envValueValues);
    const auto arg = [argv](int i) { return loadPointer<const char*>(argv + i * 8); };
    const auto name = [names](int i) { return loadPointer<const wchar_t*>(names + i * 8); };
    const auto value = [values](int i) { return loadPointer<const wchar_t*>(values + i * 8); };

    debugPrintf("jli lib: [%s]", data->libraryPath);
    for (int i = 0; i < data->argCount; ++i) {
        debugPrintf("jli arg[%d]: [%s]", i, arg(i));
    }
    for (int i = 0; i < data->envCount; ++i) {
        debugPrintf("env var[%d]: %s=[%s]", i, tstrings::toUtf8(name(i)).c_str(),
                    tstrings::toUtf8(value(i)).c_str());
    }
    for (int i = 0; i < data->envCount; ++i) {
        if (!SetEnvironmentVariableW(name(i), value(i))) {
            debugPrintf("SetEnvironmentVariable(%d) failed", i);
        }
    }
    const JliLaunchFunc jliLaunch = reinterpret_cast<JliLaunchFunc>(launchFunc);
    return jliLaunch(data->argCount, data->argValues, 0, nullptr, 0, nullptr, "", "", "java",
                     "java", 0, 0, 0, 0);
}
}
