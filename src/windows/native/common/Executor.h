// Process executor: a child process of given arguments, flags and job, run to its end.
#ifndef CORVELA_EXECUTOR_H
#define CORVELA_EXECUTOR_H

#include <windows.h>

#include "WindowsSupport.h"
#include "tstrings.h"

// Starts one child process and waits for it.
class Executor {
public:
    typedef tstring value_type; // lets std::back_inserter fill the argument list

    explicit Executor(const tstring& executable) : executable(executable) {}

    Executor& visible(bool v) {
        theVisible = v;
        return *this;
    }
    Executor& inherit(bool v) {
        theInherit = v;
        return *this;
    }
    Executor& suspended(bool v) {
        theSuspended = v;
        return *this;
    }
    // The child gets this process's standard input, output and error, whatever they are:
    // a console, files or pipes.
    Executor& standardHandles(bool v) {
        theStandardHandles = v;
        return *this;
    }
    // The job stays the caller's; it must outlive the run.
    Executor& jobObject(HANDLE job) {
        theJob = job;
        return *this;
    }
    Executor& push_back(const tstring& arg) {
        args.push_back(arg);
        return *this;
    }

    DWORD execAndWaitForExit() const;
    UniqueHandle startProcess(UniqueHandle* threadHandle = nullptr) const;
    tstring commandLine() const;

private:
    bool theVisible = false;
    bool theInherit = false;
    bool theSuspended = false;
    bool theStandardHandles = false;
    HANDLE theJob = nullptr;
    tstring_array args;
    tstring executable;
};

// One command-line element as CommandLineToArgvW splits it back.
tstring quoteCommandLineArgument(const tstring& arg);

#endif
