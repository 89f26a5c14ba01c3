// How long one register exchange takes against the fake coprocessor.
//
//   bench_exchange [exchanges-per-round]     (default 4000, five rounds)
//
// With real sleeping, in the same run:
//   - the mean period of readRegister8b (one exchange plus its pause),
//   - the mean of a bare usleep(50) loop at the kernel's default timer slack,
//   - the mean of a usleep(50) loop with the thread's timer slack at 1 ns,
//   - the ratio of the exchange period to the tight-slack figure,
//   - the shortest exchange seen (the pause must never drop below 50 us).
// With the virtual clock (no sleeping), the CPU time per exchange: the whole
// call, the fake device's share (an ioctl and a usleep through the same
// interposers), and the difference, which is the library's own.
//
// Each loop runs on a fresh thread, so every figure starts from the default
// timer slack that the thread inherits. Round means are reported as medians
// over the rounds, which keeps a burst of load on a shared machine from
// deciding the result.
#include "clock/fake_clock.h"
#include "fakes/fake_spi.h"
#include "private/kestrix_p.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int Rounds = 5;

double nowNs(clockid_t clock)
{
    timespec now;
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

struct LoopResult
{
    double meanUs = 0;
    double minUs = 1e18;
};

// Runs `step` n times on a thread of its own and times it on `clock`.
LoopResult timeLoop(int n, clockid_t clock, const std::function<void()> &prepare,
                    const std::function<void()> &step, bool trackMinimum)
{
    LoopResult result;
    std::thread worker([&] {
        prepare();
        step(); // warm up: first-use initialisation stays out of the figure
        const double start = nowNs(clock);
        double last = start;
        for (int i = 0; i < n; ++i) {
            step();
            if (trackMinimum) {
                const double now = nowNs(clock);
                result.minUs = std::min(result.minUs, (now - last) / 1e3);
                last = now;
            }
        }
        result.meanUs = (nowNs(clock) - start) / 1e3 / n;
    });
    worker.join();
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void noPreparation() {}

void tightSlack()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

} // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4000;

    kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
    kxsim::Clock &clock = kxsim::Clock::instance();
    spi.reset();
    spi.setRecording(false);
    clock.setRecording(false);
    clock.setMode(kxsim::Clock::Mode::Real);

    Private::Kestrix &kestrix = Private::Kestrix::instance();
    if (!kestrix.isDeviceOpen()) {
        std::fprintf(stderr, "the fake device did not open\n");
        return 1;
    }

    const unsigned long defaultSlackNs = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    auto read = [&] { kestrix.readRegister8b(1); };
    auto pause = [] { ::usleep(50); };

    std::vector<double> exchange, bare, tight;
    double shortestExchange = 1e18;
    for (int round = 0; round < Rounds; ++round) {
        const LoopResult e = timeLoop(n, CLOCK_MONOTONIC, noPreparation, read, true);
        exchange.push_back(e.meanUs);
        shortestExchange = std::min(shortestExchange, e.minUs);
        bare.push_back(timeLoop(n, CLOCK_MONOTONIC, noPreparation, pause, false).meanUs);
        tight.push_back(timeLoop(n, CLOCK_MONOTONIC, tightSlack, pause, false).meanUs);
    }

    // CPU time with sleeps that cost nothing.
    clock.setMode(kxsim::Clock::Mode::Virtual);
    const int cpuN = n * 25;
    unsigned char out[Private::Kestrix::PacketLength] = {0x4A, 0x02};
    unsigned char in[Private::Kestrix::PacketLength] = {};
    const int fd = ::open("/dev/spidev2.0", O_RDWR);
    struct spi_ioc_transfer transfer;
    std::memset(&transfer, 0, sizeof transfer);
    transfer.tx_buf = reinterpret_cast<std::uintptr_t>(out);
    transfer.rx_buf = reinterpret_cast<std::uintptr_t>(in);
    transfer.len = Private::Kestrix::PacketLength;
    auto fakeOnly = [&] {
        ::ioctl(fd, SPI_IOC_MESSAGE(1), &transfer);
        ::usleep(50);
    };
    std::vector<double> cpuWhole, cpuFake;
    for (int round = 0; round < Rounds; ++round) {
        cpuWhole.push_back(timeLoop(cpuN, CLOCK_THREAD_CPUTIME_ID, noPreparation, read, false).meanUs);
        cpuFake.push_back(timeLoop(cpuN, CLOCK_THREAD_CPUTIME_ID, noPreparation, fakeOnly, false).meanUs);
    }
    ::close(fd);
    clock.setMode(kxsim::Clock::Mode::Real);

    const double e = median(exchange), b = median(bare), t = median(tight);
    const double whole = median(cpuWhole), fake = median(cpuFake);
    std::printf("exchange period against the fake device, real sleeping (%d rounds of %d, median of round means)\n",
                Rounds, n);
    std::printf("  mean exchange period (readRegister8b)     %8.2f us\n", e);
    std::printf("  mean usleep(50), default slack (%lu ns) %8.2f us\n", defaultSlackNs, b);
    std::printf("  mean usleep(50), timer slack 1 ns         %8.2f us\n", t);
    std::printf("  ratio exchange / tight usleep(50)         %8.3f   (goal <= 1.3)\n", e / t);
    std::printf("  shortest exchange seen                    %8.2f us  (must be >= 50)\n", shortestExchange);
    std::printf("CPU time per exchange, virtual clock (%d rounds of %d)\n", Rounds, cpuN);
    std::printf("  whole call                                %8.3f us\n", whole);
    std::printf("  fake device and clock (ioctl + usleep)    %8.3f us\n", fake);
    std::printf("  library's own                             %8.3f us  (goal < 1)\n", whole - fake);
    return 0;
}
