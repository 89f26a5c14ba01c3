// kestrix-sim --panel: states delivered per second to clients of
// GET /events, the time GET /state takes while 100 connections stall and 200
// pages follow the event stream, and the time from POST /button/side/press
// until a program that looks at the button every 10 ms has seen it
// (panel_press_probe says so on its output, which the launcher passes
// through). Goals: at least 20 states a second, /state within 100 ms, the
// press within 50 ms.
#if !KESTRIX_SIM_PANEL
#include <cstdio>
int main()
{
    std::puts("bench_panel: kestrix-sim was built without the panel");
    return 0;
}
#else
#include "panel_run.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

double seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Lines of the launcher's standard output until one contains `text`;
// the time it arrived, or 0.
double lineArrives(int fd, const std::string &text, std::string &seen)
{
    const double until = seconds() + 10;
    char buffer[4096];
    while (seen.find(text) == std::string::npos) {
        pollfd ready{fd, POLLIN, 0};
        if (seconds() > until || ::poll(&ready, 1, 1000) <= 0)
            return 0;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return 0;
        seen.append(buffer, std::size_t(n));
    }
    return seconds();
}

void framesPerSecond(const std::string &program, const std::vector<std::string> &extra, int clients)
{
    std::vector<std::string> arguments{"--panel=0"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back(std::string(KESTRIX_CHECKOUT_DIR) + "/" + program);
    panel::Run run(KESTRIX_SIM_LAUNCHER, arguments, "/dev/null");
    std::vector<int> counts(std::size_t(clients), 0);
    std::vector<std::thread> threads;
    const double span = 3.0;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            panel::Events events(run.port());
            events.next();
            const double start = seconds();
            while (seconds() - start < span && !events.next().is_null())
                ++counts[std::size_t(c)];
        });
    for (std::thread &thread : threads)
        thread.join();
    const int lowest = *std::min_element(counts.begin(), counts.end());
    std::printf("  %-18s %d client%s: %5.1f states/s (slowest client)\n", program.c_str(), clients,
                clients > 1 ? "s" : " ", lowest / span);
}

// 50 silent connections, 50 that trickle a header line a second, 200 event
// streams; then 100 GET /state, 20 ms apart.
void stateUnderCrowd()
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", std::string(KESTRIX_CHECKOUT_DIR) + "/side_button_check"},
                   "/dev/null");
    panel::Crowd crowd(run.port(), 50, 50, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> latencies;
    int failed = 0;
    for (int i = 0; i < 100; ++i) {
        const double start = seconds();
        failed += panel::request(run.port(), "GET", "/state", "", "", "", 2000).status != 200;
        latencies.push_back((seconds() - start) * 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("  GET /state: median %.1f ms, worst %.1f ms of 100 (%d failed); streams with 50+ events: %d of 200,"
                " connections refused: %d\n",
                latencies[latencies.size() / 2], latencies.back(), failed, crowd.streamsWith(50), crowd.refused());
}

} // namespace

int main()
{
    std::printf("bench_panel: GET /events, states delivered per second (goal >= 20)\n");
    framesPerSecond("side_button_check", {}, 1);
    framesPerSecond("side_button_check", {}, 4);
    framesPerSecond("graphics_check", {"--duration", "8"}, 1);

    std::printf("bench_panel: with 100 stalled connections and 200 event streams (goal: /state <= 100 ms)\n");
    stateUnderCrowd();

    std::printf("bench_panel: POST /button/side/press -> the program has seen the press (goal <= 50 ms)\n");
    std::vector<double> delays;
    for (int i = 0; i < 20; ++i) {
        panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", KESTRIX_PRESS_PROBE}, "");
        std::string seen;
        if (lineArrives(run.outFd(), "ready", seen) == 0) {
            std::fprintf(stderr, "bench_panel: the probe did not start: %s%s\n", seen.c_str(), run.err().c_str());
            return 1;
        }
        // Somewhere in the probe's 10 ms between two looks.
        std::this_thread::sleep_for(std::chrono::microseconds(20000 + 1500 * i));
        const double pressed = seconds();
        panel::request(run.port(), "POST", "/button/side/press");
        const double arrived = lineArrives(run.outFd(), "pressed", seen);
        if (arrived == 0) {
            std::fprintf(stderr, "bench_panel: the probe did not see the press: %s\n", seen.c_str());
            return 1;
        }
        delays.push_back((arrived - pressed) * 1000);
        panel::request(run.port(), "POST", "/button/side/release");
        run.wait();
    }
    std::sort(delays.begin(), delays.end());
    std::printf("  press posted, until the probe's line (it looks every 10 ms): median %.1f ms, worst %.1f ms "
                "(20 runs)\n",
                delays[delays.size() / 2], delays.back());
    return 0;
}
#endif
