// What the program's side records for the launcher's panel, in the status
// block after SimStatus's own fields, while the panel is on: the
// controller's state at a steady simulated rhythm (the run's history, so a
// path and a plot come out right at any speed) and the camera's picture the
// program last took, with the channels it tracks them by.
#ifndef KESTRIX_SIM_SIM_RECORD_H
#define KESTRIX_SIM_SIM_RECORD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kxsim {

// The controller's state every PeriodUs of simulated time. The program's
// side puts samples in, the launcher takes them out; a ring that stays full
// (a launcher stopped) loses the samples that do not fit and counts them.
template <typename Status>
struct HistoryRingOf
{
    // 40 s of simulated time, which the launcher empties every 10 ms of real
    // time; kept small because every run maps it.
    static constexpr std::uint32_t Capacity = 2048;
    static constexpr std::int64_t PeriodUs = 20000;

    struct Sample
    {
        std::int64_t atUs; // since the program started
        Status status;
    };

    std::atomic<std::uint64_t> written;
    std::atomic<std::uint64_t> taken;
    std::atomic<std::uint64_t> dropped;
    std::int64_t nextUs; // the program's side: simulated time of the next sample
    Sample ring[Capacity];

    // The program's side; false when the ring is full.
    bool put(std::int64_t atUs, const Status &status)
    {
        const std::uint64_t n = written.load(std::memory_order_relaxed);
        if (n - taken.load(std::memory_order_acquire) >= Capacity) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        Sample &slot = ring[n % Capacity];
        slot.atUs = atUs;
        std::memcpy(static_cast<void *>(&slot.status), &status, sizeof status);
        written.store(n + 1, std::memory_order_release);
        return true;
    }

    bool full() const
    {
        return written.load(std::memory_order_relaxed) - taken.load(std::memory_order_acquire) >= Capacity;
    }

    // The launcher: every sample waiting, in order, to `take`.
    template <typename Take>
    std::size_t drain(Take &&take)
    {
        const std::uint64_t end = written.load(std::memory_order_acquire);
        std::uint64_t n = taken.load(std::memory_order_relaxed);
        const std::size_t count = std::size_t(end - n);
        for (; n < end; ++n)
            take(ring[n % Capacity]);
        taken.store(end, std::memory_order_release);
        return count;
    }
};

// The picture the program last took (YUYV, as the camera sent it) and the
// channel file it last loaded. Written at most every few milliseconds of
// real time, under a sequence that is odd while it changes.
struct CameraShot
{
    static constexpr int MaxWidth = 640, MaxHeight = 480;
    static constexpr std::size_t MaxConfig = 65536;

    std::atomic<std::uint32_t> sequence;
    std::int32_t width, height;
    std::uint32_t taken;      // pictures the program took so far
    std::int64_t atUs;        // simulated time of this one
    std::uint32_t configBytes;
    char config[MaxConfig];
    unsigned char yuyv[std::size_t(MaxWidth) * MaxHeight * 2];

    void publish(const unsigned char *picture, int w, int h, std::size_t bytesPerLine, std::uint32_t count,
                 std::int64_t at, const char *configText, std::size_t configLength)
    {
        if (w <= 0 || h <= 0 || w > MaxWidth || h > MaxHeight)
            return;
        const std::uint32_t s = sequence.load(std::memory_order_relaxed);
        sequence.store(s + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        width = w;
        height = h;
        taken = count;
        atUs = at;
        configBytes = std::uint32_t(configLength < MaxConfig ? configLength : MaxConfig);
        std::memcpy(config, configText, configBytes);
        for (int row = 0; row < h; ++row)
            std::memcpy(yuyv + std::size_t(row) * std::size_t(w) * 2, picture + std::size_t(row) * bytesPerLine,
                        std::size_t(w) * 2);
        sequence.store(s + 2, std::memory_order_release);
    }
};

// Both together, and whether the launcher wants them (set before the
// program starts: nothing is recorded without a panel).
template <typename Status>
struct PanelRecordOf
{
    std::atomic<int> on;
    HistoryRingOf<Status> history;
    CameraShot camera;
};

} // namespace kxsim

#endif
