// SPDX-License-Identifier: MIT
#include "support/pty_child.h"

#include "support/io_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Reads what is there; gives false once the other side is gone (end of file,
// or EIO from a master whose slave has been closed by everyone).
bool drain(int fd, std::string& into) {
    char buffer[4096];
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

} // namespace

pty_child::pty_child(const std::vector<std::string>& argv, const pty_options& options) {
    int slave = -1;
    winsize size{};
    size.ws_row = options.rows;
    size.ws_col = options.columns;
    if (openpty(&master_, &slave, nullptr, nullptr, &size) != 0)
        io_fail("cannot open a pseudo-terminal", "(openpty)");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    int pipe_ends[2] = {-1, -1};
    if (options.stdout_to_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0) {
        close(slave);
        close_fd(master_);
        io_fail("cannot make a pipe", "for stdout");
    }

    spawn_request request;
    request.argv = argv;
    request.env.push_back("TERM=dumb");
    request.env.insert(request.env.end(), options.env.begin(), options.env.end());
    request.as_nobody = options.as_nobody;
    request.stdin_fd = slave;
    request.stdout_fd = options.stdout_to_pipe ? pipe_ends[1] : slave;
    request.stderr_fd = slave;
    request.terminal_fd = slave;
    pid_t pid = -1;
    try {
        pid = spawn_process(request);
    } catch (...) {
        close(slave);
        close_fd(master_);
        close_fd(pipe_ends[0]);
        close_fd(pipe_ends[1]);
        throw;
    }
    close(slave);
    close_fd(pipe_ends[1]);
    watch_ = std::make_unique<child_watch>(pid);
    stdout_fd_ = pipe_ends[0];
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (stdout_fd_ >= 0)
        fcntl(stdout_fd_, F_SETFL, fcntl(stdout_fd_, F_GETFL) | O_NONBLOCK);
}

pty_child::~pty_child() {
    watch_.reset();
    close_fd(master_);
    close_fd(stdout_fd_);
}

void pty_child::pump(double max_wait_seconds) {
    pollfd fds[3];
    int count = 0;
    if (master_ >= 0 && !hung_up_)
        fds[count++] = pollfd{master_, POLLIN, 0};
    if (stdout_fd_ >= 0)
        fds[count++] = pollfd{stdout_fd_, POLLIN, 0};
    if (watch_->pollable() >= 0 && !watch_->reaped())
        fds[count++] = pollfd{watch_->pollable(), POLLIN, 0};
    int wait_ms = static_cast<int>(max_wait_seconds * 1000);
    if (watch_->pollable() < 0 && wait_ms > 10)
        wait_ms = 10;
    if (count > 0)
        poll(fds, static_cast<nfds_t>(count), wait_ms);
    // The master stays open after EIO: terminal_settings() still works on it.
    if (master_ >= 0 && !drain(master_, output_))
        hung_up_ = true; // polling it now would return at once, every time
    if (stdout_fd_ >= 0 && !drain(stdout_fd_, stdout_))
        close_fd(stdout_fd_);
    if (watch_->try_reap()) {
        if (master_ >= 0)
            drain(master_, output_);
        if (stdout_fd_ >= 0)
            drain(stdout_fd_, stdout_);
    }
}

bool pty_child::wait_for(const std::string& text, double timeout_seconds) {
    return io_wait_for_text(
        output_, from_, text, timeout_seconds, 0.05, [this](double wait) { pump(wait); },
        [this] { return watch_->reaped(); });
}

bool pty_child::wait_until_mode(bool canonical, double timeout_seconds) {
    const double deadline = io_now() + timeout_seconds;
    for (;;) {
        termios settings{};
        if (tcgetattr(master_, &settings) == 0 && ((settings.c_lflag & ICANON) != 0) == canonical)
            return true;
        if (watch_->reaped())
            return false;
        const double left = deadline - io_now();
        if (left <= 0)
            return false;
        // Poll settings often: output may never come while the mode changes.
        pump(std::min(left, 0.005));
    }
}

bool pty_child::wait_for_raw_mode(double timeout_seconds) {
    return wait_until_mode(false, timeout_seconds);
}

bool pty_child::wait_for_canonical_mode(double timeout_seconds) {
    return wait_until_mode(true, timeout_seconds);
}

void pty_child::send(const std::string& bytes) {
    std::size_t done = 0;
    const double deadline = io_now() + 10;
    while (done < bytes.size()) {
        const ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            io_fail("cannot write to", "the pseudo-terminal");
        if (io_now() > deadline)
            throw std::runtime_error("the pseudo-terminal takes no more input");
        pump(0.01); // make room: the child may be blocked writing output
    }
}

termios pty_child::terminal_settings() const {
    termios settings{};
    if (tcgetattr(master_, &settings) != 0)
        io_fail("tcgetattr failed on", "the pseudo-terminal master");
    return settings;
}

void pty_child::set_terminal_settings(const termios& settings) {
    if (tcsetattr(master_, TCSANOW, &settings) != 0)
        io_fail("tcsetattr failed on", "the pseudo-terminal master");
}

child_exit pty_child::wait_exit(double timeout_seconds) {
    const double deadline = io_now() + timeout_seconds;
    while (!watch_->reaped()) {
        const double left = deadline - io_now();
        if (left <= 0) {
            watch_->kill_now();
            break;
        }
        pump(std::min(left, 0.05));
    }
    pump(0);
    return watch_->how();
}
