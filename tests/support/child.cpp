// SPDX-License-Identifier: MIT
#include "support/child.h"

#include "support/io_util.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

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

// Reads what is there; gives false at end of file or error.
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

} // namespace

std::string describe_exit(const child_result& result) {
    return describe_exit(static_cast<const child_exit&>(result)) + "; stderr: " + result.err;
}

child_process::child_process(const std::vector<std::string>& argv, const child_options& options)
    : started_(io_now()), close_in_when_sent_(!options.keep_stdin_open) {
    // SIGPIPE would end the test process when a child stops reading its stdin.
    std::signal(SIGPIPE, SIG_IGN);
    spawn_request request;
    request.argv = argv;
    request.env = options.env;
    request.as_nobody = options.as_nobody;
    const pipe_pair out = make_pipe();
    const pipe_pair err = make_pipe();
    pipe_pair in;
    int null_fd = -1;
    if (options.input == child_stdin::text) {
        in = make_pipe();
        request.stdin_fd = in.read_end;
    } else if (options.input == child_stdin::null_device) {
        null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        request.stdin_fd = null_fd;
    }
    request.stdout_fd = out.write_end;
    request.stderr_fd = err.write_end;
    pid_t pid = -1;
    try {
        pid = spawn_process(request);
    } catch (...) {
        for (int fd : {out.read_end, out.write_end, err.read_end, err.write_end, in.read_end,
                       in.write_end, null_fd})
            if (fd >= 0)
                close(fd);
        throw;
    }
    for (int fd : {out.write_end, err.write_end, in.read_end, null_fd})
        if (fd >= 0)
            close(fd);
    watch_ = std::make_unique<child_watch>(pid);
    out_fd_ = out.read_end;
    err_fd_ = err.read_end;
    in_fd_ = in.write_end;
    set_nonblocking(out_fd_);
    set_nonblocking(err_fd_);
    if (in_fd_ >= 0) {
        set_nonblocking(in_fd_);
        pending_in_ = options.stdin_text;
        if (pending_in_.empty() && close_in_when_sent_)
            close_fd(in_fd_);
    }
}

child_process::~child_process() {
    watch_.reset(); // kills and reaps a child still running
    close_fd(out_fd_);
    close_fd(err_fd_);
    close_fd(in_fd_);
}

void child_process::close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void child_process::pump(double max_wait_seconds) {
    pollfd fds[4];
    int count = 0;
    const int wait_ms = static_cast<int>(max_wait_seconds * 1000);
    if (out_fd_ >= 0)
        fds[count++] = pollfd{out_fd_, POLLIN, 0};
    if (err_fd_ >= 0)
        fds[count++] = pollfd{err_fd_, POLLIN, 0};
    if (in_fd_ >= 0 && !pending_in_.empty())
        fds[count++] = pollfd{in_fd_, POLLOUT, 0};
    if (watch_->pollable() >= 0 && !watch_->reaped())
        fds[count++] = pollfd{watch_->pollable(), POLLIN, 0};
    // Without a pidfd, look for the end at least every 10 ms.
    const int timeout = watch_->pollable() >= 0 ? wait_ms : std::min(wait_ms, 10);
    if (count > 0)
        poll(fds, static_cast<nfds_t>(count), timeout);

    if (out_fd_ >= 0 && !drain(out_fd_, result_.out))
        close_fd(out_fd_);
    if (err_fd_ >= 0 && !drain(err_fd_, result_.err))
        close_fd(err_fd_);
    while (in_fd_ >= 0 && !pending_in_.empty()) {
        const ssize_t put = write(in_fd_, pending_in_.data(), pending_in_.size());
        if (put > 0) {
            pending_in_.erase(0, static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN)
            break;
        close_fd(in_fd_); // the child closed its end
        pending_in_.clear();
    }
    if (in_fd_ >= 0 && pending_in_.empty() && close_in_when_sent_)
        close_fd(in_fd_);
    if (watch_->try_reap()) {
        // It has ended: take what it wrote, but do not wait for descendants
        // that may still hold the pipes.
        if (out_fd_ >= 0)
            drain(out_fd_, result_.out);
        if (err_fd_ >= 0)
            drain(err_fd_, result_.err);
        if (result_.seconds == 0)
            result_.seconds = io_now() - started_;
    }
}

bool child_process::wait_for(const std::string& stream, std::size_t& from, const std::string& text,
                             double timeout_seconds) {
    return io_wait_for_text(
        stream, from, text, timeout_seconds, 0.1, [this](double wait) { pump(wait); },
        [this] { return watch_->reaped(); });
}

bool child_process::wait_for_stderr(const std::string& text, double timeout_seconds) {
    return wait_for(result_.err, err_from_, text, timeout_seconds);
}

bool child_process::wait_for_stdout(const std::string& text, double timeout_seconds) {
    return wait_for(result_.out, out_from_, text, timeout_seconds);
}

void child_process::write_stdin(const std::string& bytes) {
    pending_in_ += bytes;
    pump(0);
}

void child_process::close_stdin() {
    close_in_when_sent_ = true;
    pump(0);
}

bool child_process::running() {
    pump(0);
    return !watch_->reaped();
}

child_result child_process::wait(double timeout_seconds) {
    const double deadline = io_now() + timeout_seconds;
    while (!watch_->reaped()) {
        const double left = deadline - io_now();
        if (left <= 0) {
            watch_->kill_now();
            pump(0);
            result_.seconds = io_now() - started_;
            break;
        }
        pump(std::min(left, 0.1));
    }
    static_cast<child_exit&>(result_) = watch_->how();
    return result_;
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
