// SPDX-License-Identifier: MIT
#include "support/process.h"

#include "support/io_util.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// What happens between fork and exec.
struct spawn_request {
    std::vector<std::string> argv; // argv[0] without a '/' is looked up in PATH
    std::vector<std::string> env;  // "NAME=value" entries replacing or adding to ours
    bool as_nobody = false;        // uid and gid 65534, no supplementary groups
    int stdin_fd = -1;             // becomes fd 0; -1 leaves fd 0 closed
    int stdout_fd = -1;            // becomes fd 1; -1 leaves fd 1 closed
    int stderr_fd = -1;            // becomes fd 2; -1 leaves fd 2 closed
    int terminal_fd = -1;          // when set: new session with this as controlling terminal
    int death_signal = SIGKILL;
};

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
        prctl(PR_SET_PDEATHSIG, request.death_signal);
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

struct pipe_pair {
    int read_end = -1;
    int write_end = -1;
};

pipe_pair make_pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        io_fail("cannot make a pipe", "for a child");
    return pipe_pair{ends[0], ends[1]};
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there; gives false once the other side is gone (end of
// file, or EIO from a terminal master whose slave everyone has closed).
bool drain(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void record_status(int status, child_exit& how) {
    if (WIFEXITED(status)) {
        how.exited = true;
        how.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        how.signal = WTERMSIG(status);
    }
}

} // namespace

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

std::string describe_exit(const child_result& result) {
    return describe_exit(static_cast<const child_exit&>(result)) + "; stderr: " + result.err;
}

child_process::child_process(const std::vector<std::string>& argv, const child_options& options)
    : started_(io_now()), close_in_when_sent_(!options.keep_stdin_open) {
    // SIGPIPE would end the test process when a child stops reading its stdin.
    std::signal(SIGPIPE, SIG_IGN);
    spawn_request request;
    request.argv = argv;
    request.as_nobody = options.as_nobody;
    request.death_signal = options.death_signal;
    std::vector<int> theirs; // the child's ends, closed here once it runs
    pipe_pair out, err, in;
    int slave = -1;
    if (options.terminal) {
        request.env.push_back("TERM=dumb");
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
            io_fail("cannot open a pseudo-terminal", "(openpty)");
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        theirs.push_back(slave);
        request.stdin_fd = slave;
        request.stderr_fd = slave;
        request.terminal_fd = slave;
    } else if (options.input == child_stdin::text) {
        in = make_pipe();
        theirs.push_back(in.read_end);
        request.stdin_fd = in.read_end;
    } else if (options.input == child_stdin::null_device) {
        request.stdin_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        theirs.push_back(request.stdin_fd);
    }
    if (options.output_to_test) {
        request.stdout_fd = 1;
        request.stderr_fd = 2;
    } else {
        out = make_pipe();
        theirs.push_back(out.write_end);
        request.stdout_fd = out.write_end;
        if (!options.terminal) {
            err = make_pipe();
            theirs.push_back(err.write_end);
            request.stderr_fd = err.write_end;
        }
    }
    request.env.insert(request.env.end(), options.env.begin(), options.env.end());
    try {
        pid_ = spawn_process(request);
    } catch (...) {
        for (int fd : theirs)
            close_fd(fd);
        for (int* fd : {&out.read_end, &err.read_end, &in.write_end, &master_})
            close_fd(*fd);
        throw;
    }
    for (int fd : theirs)
        close_fd(fd);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    out_fd_ = out.read_end;
    err_fd_ = err.read_end;
    in_fd_ = in.write_end;
    for (int fd : {out_fd_, err_fd_, in_fd_, master_})
        if (fd >= 0)
            set_nonblocking(fd);
    if (in_fd_ >= 0) {
        pending_in_ = options.stdin_text;
        if (pending_in_.empty() && close_in_when_sent_)
            close_fd(in_fd_);
    }
}

child_process::~child_process() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int* fd : {&pidfd_, &out_fd_, &err_fd_, &in_fd_, &master_})
        close_fd(*fd);
}

bool child_process::try_reap() {
    if (reaped_)
        return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
    reaped_ = true;
    record_status(status, result_);
    return true;
}

void child_process::send_signal(int sig) {
    if (!reaped_)
        kill(pid_, sig);
}

void child_process::kill_now() {
    if (reaped_)
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    record_status(status, result_);
    result_.timed_out = true;
}

void child_process::pump(double max_wait_seconds) {
    pollfd fds[5];
    int count = 0;
    const int wait_ms = static_cast<int>(max_wait_seconds * 1000);
    if (out_fd_ >= 0)
        fds[count++] = pollfd{out_fd_, POLLIN, 0};
    if (err_fd_ >= 0)
        fds[count++] = pollfd{err_fd_, POLLIN, 0};
    if (master_ >= 0 && !hung_up_)
        fds[count++] =
            pollfd{master_, static_cast<short>(POLLIN | (pending_in_.empty() ? 0 : POLLOUT)), 0};
    if (in_fd_ >= 0 && !pending_in_.empty())
        fds[count++] = pollfd{in_fd_, POLLOUT, 0};
    if (pidfd_ >= 0 && !reaped_)
        fds[count++] = pollfd{pidfd_, POLLIN, 0};
    // Without a pidfd, look for the end at least every 10 ms.
    const int timeout = pidfd_ >= 0 ? wait_ms : std::min(wait_ms, 10);
    if (count > 0)
        poll(fds, static_cast<nfds_t>(count), timeout);

    if (out_fd_ >= 0 && !drain(out_fd_, result_.out))
        close_fd(out_fd_);
    if (err_fd_ >= 0 && !drain(err_fd_, result_.err))
        close_fd(err_fd_);
    // The master stays open after EIO: terminal_settings() still works on it.
    if (master_ >= 0 && !hung_up_ && !drain(master_, result_.err))
        hung_up_ = true; // polling it now would return at once, every time
    const int input = master_ >= 0 ? master_ : in_fd_;
    while (input >= 0 && !pending_in_.empty() && !hung_up_) {
        const ssize_t put = write(input, pending_in_.data(), pending_in_.size());
        if (put > 0) {
            pending_in_.erase(0, static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN)
            break;
        pending_in_.clear(); // the child closed its end
        if (input == in_fd_)
            close_fd(in_fd_);
    }
    if (in_fd_ >= 0 && pending_in_.empty() && close_in_when_sent_)
        close_fd(in_fd_);
    if (try_reap()) {
        // It has ended: take what it wrote, but do not wait for descendants
        // that may still hold the pipes.
        if (out_fd_ >= 0)
            drain(out_fd_, result_.out);
        if (err_fd_ >= 0)
            drain(err_fd_, result_.err);
        if (master_ >= 0 && !hung_up_)
            drain(master_, result_.err);
        if (result_.seconds == 0)
            result_.seconds = io_now() - started_;
    }
}

bool child_process::wait_for_stderr(const std::string& text, double timeout_seconds) {
    return io_wait_for_text(
        result_.err, err_from_, text, timeout_seconds, 0.05, [this](double wait) { pump(wait); },
        [this] { return reaped_; });
}

void child_process::write_stdin(const std::string& bytes) {
    pending_in_ += bytes;
    // Typed keys go out now, in the order given, as at a keyboard.
    const double deadline = io_now() + 10;
    pump(0);
    while (master_ >= 0 && !pending_in_.empty() && !hung_up_) {
        if (io_now() > deadline)
            throw std::runtime_error("the pseudo-terminal takes no more input");
        pump(0.01); // make room: the child may be blocked writing output
    }
}

void child_process::close_stdin() {
    close_in_when_sent_ = true;
    pump(0);
}

bool child_process::running() {
    pump(0);
    return !reaped_;
}

child_result child_process::wait(double timeout_seconds) {
    const double deadline = io_now() + timeout_seconds;
    while (!reaped_) {
        const double left = deadline - io_now();
        if (left <= 0) {
            kill_now();
            pump(0);
            result_.seconds = io_now() - started_;
            break;
        }
        pump(std::min(left, 0.05));
    }
    pump(0);
    return result_;
}

bool child_process::wait_for_raw_mode(double timeout_seconds) {
    const double deadline = io_now() + timeout_seconds;
    for (;;) {
        termios settings{};
        if (tcgetattr(master_, &settings) == 0 && (settings.c_lflag & ICANON) == 0)
            return true;
        if (reaped_)
            return false;
        const double left = deadline - io_now();
        if (left <= 0)
            return false;
        // Poll settings often: output may never come while the mode changes.
        pump(std::min(left, 0.005));
    }
}

termios child_process::terminal_settings() const {
    termios settings{};
    if (tcgetattr(master_, &settings) != 0)
        io_fail("tcgetattr failed on", "the pseudo-terminal master");
    return settings;
}

void child_process::set_terminal_settings(const termios& settings) {
    if (tcsetattr(master_, TCSANOW, &settings) != 0)
        io_fail("tcsetattr failed on", "the pseudo-terminal master");
}

child_result run_child(const std::vector<std::string>& argv, const child_options& options) {
    child_process child(argv, options);
    return child.wait(options.timeout_seconds);
}

const char* platterfell_binary() {
    return PLATTERFELL_BINARY;
}

const char* preload_library() {
    return PRELOAD_LIBRARY;
}
