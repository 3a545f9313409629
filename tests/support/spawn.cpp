// SPDX-License-Identifier: MIT
#include "support/spawn.h"

#include "support/io_util.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

constexpr unsigned close_range_cloexec = 1u << 2; // CLOSE_RANGE_CLOEXEC
constexpr int spare_fd_base = 10;
constexpr uid_t nobody = 65534;

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return name;
}

std::string name_of(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> build_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> entries;
    for (char** at = environ; at != nullptr && *at != nullptr; ++at) {
        const std::string entry = *at;
        bool replaced = false;
        for (const std::string& mine : extra)
            replaced = replaced || name_of(mine) == name_of(entry);
        if (!replaced)
            entries.push_back(entry);
    }
    bool preloads = false;
    for (std::size_t at = 0; at < extra.size(); ++at) {
        bool overridden = false; // a later entry of the same name wins
        for (std::size_t later = at + 1; later < extra.size(); ++later)
            overridden = overridden || name_of(extra[later]) == name_of(extra[at]);
        if (!overridden)
            entries.push_back(extra[at]);
        preloads = preloads || name_of(extra[at]) == "LD_PRELOAD";
    }
    if (preloads) {
        // A sanitized program refuses a preloaded library ahead of its
        // runtime unless told not to check.
        bool found = false;
        for (std::string& entry : entries)
            if (name_of(entry) == "ASAN_OPTIONS") {
                entry += ":verify_asan_link_order=0";
                found = true;
            }
        if (!found)
            entries.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    return entries;
}

[[noreturn]] void child_fail(int report_fd) {
    const int error = errno;
    ssize_t ignored = write(report_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

} // namespace

pid_t spawn_process(const spawn_request& request) {
    if (request.argv.empty())
        throw std::runtime_error("spawn_process: empty argv");
    const std::string program = find_program(request.argv[0]);
    std::vector<std::string> words = request.argv;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    std::vector<std::string> entries = build_environment(request.env);
    std::vector<char*> envp;
    for (std::string& entry : entries)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        io_fail("cannot make a pipe for", program);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        io_fail("cannot fork for", program);
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        const int sources[3] = {request.stdin_fd, request.stdout_fd, request.stderr_fd};
        int spare[3] = {-1, -1, -1};
        const int report_fd = fcntl(report[1], F_DUPFD_CLOEXEC, spare_fd_base + 3);
        for (int target = 0; target < 3; ++target)
            if (sources[target] >= 0)
                spare[target] = fcntl(sources[target], F_DUPFD_CLOEXEC, spare_fd_base);
        const int terminal = request.terminal_fd >= 0
                                 ? fcntl(request.terminal_fd, F_DUPFD_CLOEXEC, spare_fd_base)
                                 : -1;
        for (int target = 0; target < 3; ++target) {
            if (spare[target] >= 0) {
                if (dup2(spare[target], target) < 0)
                    child_fail(report_fd);
            } else {
                close(target);
            }
        }
        if (terminal >= 0) {
            if (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0)
                child_fail(report_fd);
        }
        syscall(SYS_close_range, 3u, ~0u, close_range_cloexec);

        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU,
                        SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
            signal(sig, SIG_DFL);

        if (request.as_nobody) {
            if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                setresuid(nobody, nobody, nobody) != 0)
                child_fail(report_fd);
        }
        // Set after any change of credentials, which would clear it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        child_fail(report_fd);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        waitpid(pid, nullptr, 0);
        errno = error;
        io_fail(request.as_nobody ? "cannot run (as uid 65534)" : "cannot run", program);
    }
    return pid;
}

std::string describe_exit(const child_exit& how) {
    std::string text;
    if (how.exited)
        text = "exit status " + std::to_string(how.exit_code);
    else if (how.signal != 0)
        text = "signal " + std::to_string(how.signal) + " (" + strsignal(how.signal) + ")";
    else
        text = "still running";
    if (how.timed_out)
        text += ", killed when its time was up";
    return text;
}

child_watch::child_watch(pid_t pid) : pid_(pid) {
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

child_watch::~child_watch() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (pidfd_ >= 0)
        close(pidfd_);
}

bool child_watch::try_reap() {
    if (reaped_)
        return true;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done != pid_)
        return false;
    reaped_ = true;
    if (WIFEXITED(status)) {
        how_.exited = true;
        how_.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        how_.signal = WTERMSIG(status);
    }
    return true;
}

void child_watch::send_signal(int sig) {
    if (!reaped_)
        kill(pid_, sig);
}

void child_watch::kill_now() {
    if (reaped_)
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    how_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (WIFEXITED(status)) {
        how_.exited = true;
        how_.exit_code = WEXITSTATUS(status);
    }
    how_.timed_out = true;
}
