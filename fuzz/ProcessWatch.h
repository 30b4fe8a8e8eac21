#pragma once
// What a run costs the process, read the same way by every fuzzer that bounds
// a run's memory and CPU time: the thread's CPU time (a busy machine
// stretches a run's wall time but not the work it does), the resident memory
// and its peak, and a watch that stops a run holding far more than its bound
// before it takes what the machine has.

#include <malloc.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define CALVARO_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CALVARO_FUZZ_ASAN 1
#endif
#endif
#if defined(CALVARO_FUZZ_ASAN)
#include <sanitizer/allocator_interface.h>
#endif

namespace fuzz {

inline double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// VmRSS or VmHWM of `process` (a process id, this process by default) in
// bytes, 0 when unknown.
inline int64_t statusBytes(std::string_view field, const std::string& process = "self") {
    std::ifstream status("/proc/" + process + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0 && line.size() > field.size() && line[field.size()] == ':')
            return std::stoll(line.substr(field.size() + 1)) * 1024;
    }
    return 0;
}

// Returns freed memory to the system and restarts the peak at what is
// resident now, so that the next peak is the run's own.
inline int64_t restartResidentPeak() {
#if defined(CALVARO_FUZZ_ASAN)
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
    std::ofstream("/proc/self/clear_refs") << "5";
    return statusBytes("VmRSS");
}

// Watches the resident memory from a thread of its own while a stage runs. A
// run that holds memory outside its bound can grow past what the machine has
// before it ends and is measured; the watch calls `escaped` as soon as the
// growth passes the bound (the fuzzer aborts there with what it ran, rather
// than running out of memory).
class ResidentWatch {
  public:
    using Escaped = std::function<void(const std::string& stage, int64_t growth)>;
    explicit ResidentWatch(Escaped escaped) : escaped_(std::move(escaped)), thread_([this] { watch(); }) {}
    ~ResidentWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // `resident` is what was resident as the stage began; `bound` the
    // growth past it the stage may take.
    void begin(const std::string& stage, int64_t resident, int64_t bound) {
        std::lock_guard<std::mutex> lock(mutex_);
        stage_ = stage;
        baseline_ = resident;
        bound_ = bound;
        watching_ = true;
    }
    void end() {
        std::lock_guard<std::mutex> lock(mutex_);
        watching_ = false;
    }

  private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            wake_.wait_for(lock, std::chrono::milliseconds(20));
            if (!watching_) continue;
            const int64_t growth = statusBytes("VmRSS") - baseline_;
            if (growth > bound_) escaped_(stage_, growth);
        }
    }

    Escaped escaped_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string stage_;
    int64_t baseline_ = 0;
    int64_t bound_ = 0;
    bool watching_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace fuzz
