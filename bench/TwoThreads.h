#pragma once

// The yardsticks' way of timing a library alone on both cores: `work(0)`
// and `work(1)` run at once, each taking every other item, and the seconds
// they took together are printed; exit status 1, with `what` named, when
// either reported a failure.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace Kestrune::Bench {

inline int TimeOnTwoThreads(const std::function<bool(std::size_t)>& work, const char* what) {
    std::atomic<bool> failed = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread other([&] {
        if (!work(1)) {
            failed = true;
        }
    });
    if (!work(0)) {
        failed = true;
    }
    other.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (failed) {
        std::fprintf(stderr, "a block did not %s\n", what);
        return 1;
    }
    std::printf("%.3f\n", took.count());
    return 0;
}

} // namespace Kestrune::Bench
