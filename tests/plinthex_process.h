#pragma once

// Runs the built program (PLINTHEX_BINARY) as a process in a given working
// folder, with its standard output and standard error captured apart.

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/temp_folder.h"

extern char** environ;

namespace plinthex_process
{

struct Result
{
    int status = -1;  // exit status, or -1 when the process did not exit
    std::string out;
    std::string err;
};

struct Invocation
{
    std::vector<std::string> arguments;
    const char* ldrawDir = nullptr;  // LDRAWDIR, unset when null
    std::string folder;              // working folder
    rlim_t fileSizeLimit = RLIM_INFINITY;
    rlim_t addressSpaceLimit = RLIM_INFINITY;  // bytes of address space
    std::vector<std::string> environment;      // more NAME=value entries
};

// Starts the program with its standard output and standard error going to
// the files at outPath and errPath; returns its process id, or -1.
inline pid_t StartPlinthex(const Invocation& invocation, const std::string& outPath,
                           const std::string& errPath)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "LDRAWDIR=", 9) != 0)
            environment.emplace_back(*entry);
    if (invocation.ldrawDir != nullptr)
        environment.push_back(std::string("LDRAWDIR=") + invocation.ldrawDir);
    for (const std::string& entry : invocation.environment)
        environment.push_back(entry);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::vector<std::string> arguments = invocation.arguments;
    arguments.insert(arguments.begin(), PLINTHEX_BINARY);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child != 0)
        return child;
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(invocation.folder.c_str()) != 0)
        _exit(127);
    if (invocation.fileSizeLimit != RLIM_INFINITY)
    {
        // Writes beyond the limit fail with EFBIG instead of a signal.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {invocation.fileSizeLimit, invocation.fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (invocation.addressSpaceLimit != RLIM_INFINITY)
    {
        const rlimit limit = {invocation.addressSpaceLimit, invocation.addressSpaceLimit};
        setrlimit(RLIMIT_AS, &limit);
    }
    // Interruptions as a shell gives them, whatever the test runner chose.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        signal(signalNumber, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

// The exit status of a started process, or -1 when it did not exit.
inline int WaitForPlinthex(pid_t child)
{
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        return WEXITSTATUS(status);
    return -1;
}

inline Result RunPlinthex(const Invocation& invocation)
{
    const TempFolder logs;
    const std::string outPath = logs / "stdout", errPath = logs / "stderr";
    Result result;
    result.status = WaitForPlinthex(StartPlinthex(invocation, outPath, errPath));
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

// LDraw lines for test files: one triangle in the inherited colour, and a
// reference placed at the origin without rotation.
inline const std::string kTriangle = "3 16 0 0 0 10 0 0 0 10 0\n";

inline std::string Ref(const std::string& name, int color = 16)
{
    return "1 " + std::to_string(color) + " 0 0 0 1 0 0 0 1 0 0 0 1 " + name + "\n";
}

}  // namespace plinthex_process
