#include "bench/measure.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace halvo::bench {

double median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
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

std::int64_t residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6));
    }
    return -1;
}

std::unique_ptr<client::Subprocess> start(const Recorder& recorder) {
    std::string error;
    return client::Subprocess::spawn(recorder.argv, &error);
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

double launchToFirstByte(const Recorder& recorder) {
    const auto launched = Clock::now();
    auto child = start(recorder);
    if (!child)
        return -1;
    char byte;
    pollfd entry{child->standardOutput(), POLLIN, 0};
    double elapsed = -1;
    if (::poll(&entry, 1, 5000) > 0 && ::read(child->standardOutput(), &byte, 1) == 1) {
        elapsed = Seconds(Clock::now() - launched).count();
    }
    recorder.stop(*child);
    child->waitFor(std::chrono::seconds(2));
    return elapsed;
}

}  // namespace halvo::bench
