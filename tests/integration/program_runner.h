// Runs one of the built programs as a child process and collects its exit
// status, standard output and standard error; optionally with no right to
// create a socket (a seccomp filter kills the child at its first socket()).
#pragma once

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "harness.h"

namespace vnxtest {

struct ProgramResult {
    int status = -1;  // exit status; -1000 - signal when a signal ended it
    std::string out, err;
};

#if defined(__x86_64__)
inline constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
inline constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
inline constexpr unsigned kAuditArch = 0;  // no filter for this machine
#endif

// True when this machine's system calls can be filtered by run_program.
inline bool can_forbid_sockets() {
    return kAuditArch != 0;
}

// Runs `path` with `args` (argv[0] is the path), its current directory `cwd`
// and its output in out_dir/out and out_dir/err. With no_sockets, socket()
// kills it with SIGSYS.
inline ProgramResult run_program(const std::string &path, const std::vector<std::string> &args,
                                 const std::string &cwd, const std::string &out_dir,
                                 bool no_sockets = false) {
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const std::string out = out_dir + "/out", err = out_dir + "/err";
    // Built before the fork: the child makes only async-signal-safe calls.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(std::size(filter)), filter};
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        if (no_sockets && (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0))
            _exit(126);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    ProgramResult r;
    if (pid > 0) r.status = wait_exit(pid, 60000);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

}  // namespace vnxtest
