// A loop over indices on a few host threads, for the builds that prepare the device's
// arrays. Each index's work must not depend on which thread runs it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace host {

// Runs body(i, worker) for every i in [0, n) on up to `workers` threads, the calling
// thread among them, and rethrows the first exception once all have stopped.
template <typename Body>
void parallelFor(size_t n, unsigned workers, const Body& body) {
    const unsigned w = unsigned(std::min<size_t>(std::max(workers, 1u), n));
    if (w <= 1) {
        for (size_t i = 0; i < n; ++i) body(i, 0u);
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorLock;
    auto run = [&](unsigned worker) {
        try {
            for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) body(i, worker);
        } catch (...) {
            std::lock_guard<std::mutex> g(errorLock);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    std::vector<std::thread> threads;
    try {
        threads.reserve(w - 1);
        for (unsigned t = 1; t < w; ++t) threads.emplace_back(run, t);
    } catch (...) {
        // No thread (or no memory for one): the ones started stop, and the failure is
        // reported like any other of the build.
        std::lock_guard<std::mutex> g(errorLock);
        if (!error) error = std::current_exception();
        failed = true;
    }
    run(0);
    for (std::thread& t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace host
