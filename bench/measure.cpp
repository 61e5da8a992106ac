#include "bench/measure.h"

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace halvo::bench {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The number after "Key:" in a /proc status file, or -1.
long long statusField(const std::string& status, const std::string& key) {
    const auto at = status.find("\n" + key + ":");
    if (at == std::string::npos)
        return -1;
    return std::stoll(status.substr(at + key.size() + 2));
}

double cpuSeconds(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15)
            ticks += std::stod(field);
        if (index == 15)
            break;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

std::string commandOutput(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
            text.append(chunk, got);
        ::pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

double median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

long long ProcessSample::voluntarySwitches() const {
    long long sum = 0;
    for (const ThreadSwitches& thread : threads)
        sum += thread.voluntary;
    return sum;
}

ProcessSample sampleProcess(pid_t pid) {
    ProcessSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    sample.cpuSeconds = cpuSeconds(pid);
    sample.residentKiB = statusField(readFile(base + "/status"), "VmRSS");
    // /proc/PID/status counts the switches of the main thread alone; each thread has its own.
    if (DIR* tasks = ::opendir((base + "/task").c_str())) {
        while (const dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string task = base + "/task/" + entry->d_name;
            const std::string status = readFile(task + "/status");
            if (status.empty())
                continue;  // the thread ended meanwhile
            ThreadSwitches thread;
            thread.tid = static_cast<pid_t>(std::stol(entry->d_name));
            thread.name = readFile(task + "/comm");
            while (!thread.name.empty() && thread.name.back() == '\n')
                thread.name.pop_back();
            thread.voluntary = statusField(status, "voluntary_ctxt_switches");
            thread.involuntary = statusField(status, "nonvoluntary_ctxt_switches");
            sample.threads.push_back(thread);
        }
        ::closedir(tasks);
    }
    std::sort(sample.threads.begin(), sample.threads.end(),
              [](const ThreadSwitches& a, const ThreadSwitches& b) { return a.tid < b.tid; });
    return sample;
}

std::vector<ThreadUsage> threadUsage(pid_t pid) {
    std::vector<ThreadUsage> usage;
    for (const ThreadSwitches& thread : sampleProcess(pid).threads) {
        const std::string schedstat = readFile("/proc/" + std::to_string(pid) + "/task/" +
                                               std::to_string(thread.tid) + "/schedstat");
        if (schedstat.empty())
            continue;  // the thread ended meanwhile
        usage.push_back({thread.name, thread.tid, std::stoll(schedstat),
                         thread.voluntary + thread.involuntary});
    }
    return usage;
}

void drain(int fd, Clock::time_point until,
           const std::function<void(const char*, std::size_t)>& consume) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return;
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got <= 0)
            return;
        consume(buffer.data(), static_cast<std::size_t>(got));
    }
}

}  // namespace halvo::bench
