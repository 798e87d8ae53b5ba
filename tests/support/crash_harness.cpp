#include "crash_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{

// No system call of sondrel's is made this often in one run.
constexpr int MaxCalls = 500;

// True when the trace shows call `syscall` with an injected result.
bool TraceShowsInjection(const std::string& trace, const std::string& syscall)
{
    std::string call = " ";
    call += syscall;
    call += '(';
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line))
        if (line.find(call) != std::string::npos && line.find("(INJECTED)") != std::string::npos)
            return true;
    return false;
}

InjectedRun RunInjected(const InjectionPlan& plan, const Injection& injection,
                        const std::string& traceFile)
{
    // strace injects only into the calls it traces.
    std::vector<std::string> injections = {injection.Text()};
    injections.insert(injections.end(), plan.always.begin(), plan.always.end());
    std::string traced;
    for (const std::string& i : injections)
        traced.append(traced.empty() ? "trace=" : ",").append(i, 0, i.find(':'));
    std::vector<std::string> command = {"strace", "-f", "-qq", "-o", traceFile, "-e", traced};
    for (const std::string& i : injections)
        command.insert(command.end(), {"-e", "inject=" + i});
    command.push_back(SONDREL_BINARY);
    command.insert(command.end(), plan.args.begin(), plan.args.end());
    InjectedRun r;
    r.injection = injection;
    // Sanitizer runtimes must not mistake the tracer for a leak checker's trouble.
    r.run = RunCommand(command, Stdout::Capture, {"ASAN_OPTIONS=detect_leaks=0"});
    r.killed = r.run.status == 128 + 9;
    return r;
}

} // namespace

bool StraceWorks(std::string& why)
{
    const RunResult r = RunCommand({"strace", "-qq", "-o", "/dev/null", "true"});
    if (r.status == 0)
        return true;
    why = r.status == 127 ? "strace is not installed" : "strace cannot trace here: " + r.err;
    return false;
}

int ForEachInjection(const InjectionPlan& plan, const std::function<void()>& prepare,
                     const std::function<void(const InjectedRun&)>& check)
{
    char traceFile[] = "/tmp/sondrel-trace-XXXXXX";
    const int fd = mkstemp(traceFile);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return 0;
    }
    close(fd);
    int hits = 0;
    for (const std::string& syscall : plan.syscalls) {
        for (int when = 1; when <= MaxCalls; when++) {
            prepare();
            InjectedRun r = RunInjected(plan, {syscall, plan.action, when}, traceFile);
            r.hit = r.killed || TraceShowsInjection(ReadWholeFile(traceFile), syscall);
            SCOPED_TRACE(r.injection.Text());
            check(r);
            if (!r.hit)
                break;
            hits++;
        }
    }
    unlink(traceFile);
    return hits;
}
