#include "bench/sink_path.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>

#include "bench/measure.h"
#include "halvo/client/subprocess.h"

namespace halvo::bench {
namespace {

// Bytes per second through a pipe read as fast as possible, from the first byte on.
double pipeRate(const std::vector<std::string>& argv, double seconds) {
    std::string error;
    auto child = client::Subprocess::spawn(argv, &error);
    if (!child)
        return -1;
    const auto kill = [&] { child->sendSignal(SIGKILL); };
    std::uint64_t bytes = 0;
    std::optional<Clock::time_point> first;
    Clock::time_point last;
    drain(child->standardOutput(),
          Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 500),
          [&](const char*, std::size_t size) {
              if (!first) {
                  first = Clock::now();
                  return;  // the first read only starts the clock
              }
              bytes += size;
              last = Clock::now();
              if (Seconds(last - *first).count() >= seconds)
                  kill();
          });
    kill();
    if (!first)
        return -1;
    return static_cast<double>(bytes) / Seconds(last - *first).count();
}

}  // namespace

SinkPathFigures measureSinkPath(const std::string& simHelper, double seconds) {
    const std::string file =
        (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/halvo-bench-bytes");
    {
        std::ifstream random("/dev/urandom", std::ios::binary);
        std::ofstream out(file, std::ios::binary);
        std::vector<char> chunk(1 << 20);
        for (int i = 0; i < 1024; ++i) {
            random.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }
    SinkPathFigures figures;
    for (int round = 0; round < 3; ++round) {
        figures.sinkRate = std::max(figures.sinkRate, pipeRate({simHelper}, seconds));
        figures.catRate =
            std::max(figures.catRate, pipeRate({"cat", file, file, file, file}, seconds));
    }
    std::remove(file.c_str());
    return figures;
}

}  // namespace halvo::bench
