#include "platform/process.h"

#include "platform/thread_check.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>

#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace halvo::platform {

std::string operatingSystemVersionString() {
    utsname name{};
    if (::uname(&name) != 0) {
        return "unknown";
    }
    return std::string(name.release) + " (" + name.version + ")";
}

std::int32_t processIdentifier() {
    return static_cast<std::int32_t>(::getpid());
}

namespace {

// The parent of `pid` from /proc/<pid>/stat: the fourth field, after the name in parentheses
// (which may itself hold spaces and parentheses, hence the last ')').
std::int32_t parentOf(std::int32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::stringstream text;
    text << file.rdbuf();
    const std::string stat = text.str();
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state;
    std::int32_t parent = 0;
    fields >> state >> parent;
    return fields ? parent : 0;
}

}  // namespace

bool isProcessOrDescendant(std::int32_t pid, std::int32_t ancestor) {
    // A chain is short; the bound only guards against a loop in what was read.
    for (int step = 0; pid > 0 && step < 4096; ++step) {
        if (pid == ancestor) {
            return true;
        }
        pid = parentOf(pid);
    }
    return false;
}

std::string iso8601(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

std::string iso8601Now() {
    return iso8601(std::chrono::system_clock::now());
}

void sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

void runMainLoop() {
    HALVO_CHECK_THREAD(::gettid() == ::getpid(), "the main loop runs on the main thread");
    // Nothing ever notifies: the wait keeps the main thread asleep until the process exits.
    std::mutex mutex;  // guards nothing but the wait itself
    std::condition_variable never;
    std::unique_lock lock(mutex);
    never.wait(lock, [] { return false; });
}

namespace {

void setBrokenPipeSignal(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(how, &set, nullptr);
}

}  // namespace

void allowBrokenPipeSignal() {
    setBrokenPipeSignal(SIG_UNBLOCK);
}

void blockBrokenPipeSignal() {
    setBrokenPipeSignal(SIG_BLOCK);
}

void raiseBrokenPipe() {
    allowBrokenPipeSignal();
    ::raise(SIGPIPE);
}

void reserveStandardDescriptors() {
    const int modes[3] = {O_RDONLY, O_RDONLY, O_WRONLY};
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        const int opened = ::open("/dev/null", modes[fd]);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void exitProcess(int status) {
    std::_Exit(status);
}

std::optional<std::int32_t> parseProcessID(std::string_view text) {
    std::int32_t pid = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, pid);
    if (text.empty() || error != std::errc() || stop != end || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

}  // namespace halvo::platform
