#include "halvo/client/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace halvo::client {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

ExitStatus decode(int raw) {
    ExitStatus status;
    if (WIFEXITED(raw)) {
        status.exited = true;
        status.code = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        status.signal = WTERMSIG(raw);
    }
    return status;
}

}  // namespace

std::unique_ptr<Subprocess> Subprocess::spawn(const std::vector<std::string>& argv,
                                              std::string* error,
                                              const std::vector<std::string>& extraEnvironment,
                                              bool ownProcessGroup) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        if (error)
            *error = std::string("pipe: ") + std::strerror(errno);
        for (int* fds : {in, out, err}) {
            closeIfOpen(fds[0]);
            closeIfOpen(fds[1]);
        }
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    // The child starts with default signal handling, whatever the parent ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (ownProcessGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // An extra entry replaces an inherited one of the same name.
    const auto overridden = [&](std::string_view inherited) {
        const std::string_view name = inherited.substr(0, inherited.find('='));
        for (const std::string& entry : extraEnvironment) {
            if (std::string_view(entry).substr(0, entry.find('=')) == name)
                return true;
        }
        return false;
    };
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!overridden(*entry))
            environment.push_back(*entry);
    }
    for (const std::string& entry : extraEnvironment)
        environment.push_back(const_cast<char*>(entry.c_str()));
    environment.push_back(nullptr);

    pid_t pid = -1;
    const int failure =
        ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeIfOpen(in[0]);
    closeIfOpen(out[1]);
    closeIfOpen(err[1]);
    if (failure != 0) {
        if (error)
            *error = "cannot start " + argv[0] + ": " + std::strerror(failure);
        closeIfOpen(in[1]);
        closeIfOpen(out[0]);
        closeIfOpen(err[0]);
        return nullptr;
    }
    std::unique_ptr<Subprocess> child(new Subprocess());
    child->pid_ = pid;
    child->stdin_ = in[1];
    child->stdout_ = out[0];
    child->stderr_ = err[0];
    return child;
}

Subprocess::~Subprocess() {
    closeIfOpen(stdin_);
    if (!waitFor(std::chrono::milliseconds(0))) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
    }
    closeIfOpen(stdout_);
    closeIfOpen(stderr_);
}

bool Subprocess::write(std::string_view data) {
    while (!data.empty()) {
        if (stdin_ < 0) {
            return false;
        }
        // MSG_NOSIGNAL only exists for sockets: a write to a pipe whose reader is gone raises
        // SIGPIPE, so block it for this thread while writing and swallow a pending one.
        sigset_t pipeOnly, previous;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
        const ssize_t written = ::write(stdin_, data.data(), data.size());
        const int writeErrno = errno;
        if (written < 0 && writeErrno == EPIPE) {
            const timespec zero{0, 0};
            sigtimedwait(&pipeOnly, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (written < 0) {
            if (writeErrno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void Subprocess::closeStandardInput() {
    closeIfOpen(stdin_);
}

std::optional<ExitStatus> Subprocess::waitFor(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A pidfd turns the wait into one poll; kernels without it get a short sleep loop.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = decode(raw);
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            ::poll(&entry, 1, static_cast<int>(left.count()));
        } else {
            ::usleep(2000);
        }
    }
    if (pidfd >= 0) {
        ::close(pidfd);
    }
    return status_;
}

void Subprocess::sendSignal(int signal) {
    if (!status_) {
        ::kill(pid_, signal);
    }
}

}  // namespace halvo::client
