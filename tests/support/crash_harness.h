// Runs sondrel under strace with one system call made to fail, or the
// process killed there, at its first call, then its second, and so on until
// a run no longer reaches it: a test checks the files after every step, as a
// crash or a full disk would leave them.
#pragma once

#include "run_tool.h"

#include <functional>
#include <string>
#include <vector>

struct Injection {
    std::string syscall; // "pwrite64"
    std::string action;  // "signal=KILL", "error=ENOSPC"
    int when = 0;        // the call it hits, from 1
    std::string Text() const { return syscall + ":" + action + ":when=" + std::to_string(when); }
};

struct InjectedRun {
    Injection injection;
    RunResult run;
    bool killed = false; // the process was killed by the injection
    bool hit = false;    // the run reached the call
};

struct InjectionPlan {
    std::vector<std::string> syscalls; // each hit in turn
    std::string action;
    std::vector<std::string> always = {}; // further -e inject= expressions for every run
    std::vector<std::string> args = {};   // sondrel's arguments
};

// False (with the reason) when strace cannot trace here.
bool StraceWorks(std::string& why);

// For each system call of the plan and each N from 1 until a run finishes
// without reaching call N: `prepare()`, the run, `check(run)`.  Returns how
// many runs hit their call.
int ForEachInjection(const InjectionPlan& plan, const std::function<void()>& prepare,
                     const std::function<void(const InjectedRun&)>& check);
