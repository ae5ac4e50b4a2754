#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace lorvane {

int ThreadCount(int requested)
{
    if (requested > 0)
        return requested;
    return std::max(1, int(std::thread::hardware_concurrency()));
}

void RunParts(int parts, int threads, const std::function<void(int part)>& work)
{
    threads = std::clamp(threads, 1, std::max(parts, 1));
    if (threads == 1) {
        for (int part = 0; part < parts; ++part)
            work(part);
        return;
    }
    // Parts are taken in turn by whichever thread is free, so a slow thread
    // (the machine is shared) holds up the frame by one part at most.
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto takeParts = [&] {
        for (int part = next++; part < parts; part = next++) {
            try {
                work(part);
            } catch (...) {
                const std::lock_guard<std::mutex> hold(failureLock);
                if (!failure)
                    failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(std::size_t(threads - 1));
    for (int t = 1; t < threads; ++t)
        helpers.emplace_back(takeParts);
    takeParts();
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace lorvane
