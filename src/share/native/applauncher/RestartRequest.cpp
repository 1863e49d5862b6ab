// Restart on request: the key and the budget (RestartRequest.h).
#include "RestartRequest.h"

#include "AppLauncher.h"
#include "CfgFile.h"
#include "ErrorHandling.h"

namespace {

// Decimal, with an optional '-': a negative code is what Java passes System.exit as an int.
bool parseExitCode(const tstring& text, std::uint32_t& exitCode) {
    const bool negative = !text.empty() && text[0] == L'-';
    const tstring digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 10) {
        return false;
    }
    std::uint64_t value = 0;
    for (const wchar_t c : digits) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (negative ? value > 2147483648ull : value > 4294967295ull) {
        return false;
    }
    exitCode = static_cast<std::uint32_t>(negative ? (4294967296ull - value) & 0xffffffffull
                                                   : value);
    return true;
}

} // namespace

namespace RestartRequest {

bool exitCodeIn(const CfgFile& cfg, const AppLauncher& appLauncher, std::uint32_t& exitCode) {
    tstring text;
    if (!cfg.findValue(PropertyName::restartExitCode, text)) {
        return false;
    }
    if (!parseExitCode(text, exitCode) || exitCode == 0) {
        THROW_ERROR(LauncherError(
            (tstrings::Builder() << L"Invalid value \"" << text << L"\" of "
                                 << PropertyName::restartExitCode.name()
                                 << L" in [Application] of " << appLauncher.getCfgFilePath()
                                 << L": an exit code other than 0 is expected")
                .str()));
    }
    return true;
}

bool Budget::take(std::uint64_t nowMs) {
    while (!restartTimesMs.empty() && nowMs - restartTimesMs.front() >= windowMs) {
        restartTimesMs.pop_front();
    }
    if (restartTimesMs.size() >= maxRestarts) {
        return false;
    }
    restartTimesMs.push_back(nowMs);
    return true;
}

} // namespace RestartRequest
