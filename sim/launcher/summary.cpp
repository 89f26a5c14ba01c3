#include "launcher/summary.h"

#include "launcher/launch_errors.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/wait.h>

namespace kxsim {

namespace {

std::string bits(unsigned value, int count)
{
    std::string text;
    for (int n = count - 1; n >= 0; --n)
        text += ((value >> n) & 1) ? '1' : '0';
    return text;
}

void appendf(std::string &text, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &text, const char *format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    text += line;
}

std::string describeController(const SimStatus &status, double simulated, double realSeconds)
{
    std::string text;
    for (int m = 0; m < 4; ++m) {
        const int mode = (status.modes >> (2 * m)) & 3;
        appendf(text, "  motor %d: position %.0f, speed %.1f ticks/s, %s", m, status.motorPosition[m],
                     status.motorSpeed[m], modeName(mode));
        if (mode == 0 || mode == 2)
            appendf(text, " %s", directionName(status.directions >> (2 * m)));
        appendf(text, ", %s\n", (status.motorStatus >> m) & 1 ? "done" : "moving");
    }
    for (int s = 0; s < 4; ++s)
        appendf(text, "  servo %d: %s, command %.0f (%u us), shaft %.1f\n", s,
                     (status.servoEnables >> (4 + s)) & 1 ? "enabled" : "disabled",
                     std::floor(servoPosition(status.servoCommand[s])), unsigned(status.servoCommand[s]),
                     servoPosition(status.servoShaft[s]));
    appendf(text, "  digital (pin 15..0): levels %s, outputs %s, directions %s, pull-ups %s\n",
                 bits(status.digitalIn, 16).c_str(), bits(status.digitalOut, 16).c_str(),
                 bits(status.digitalDirections, 16).c_str(), bits(status.digitalPullups, 16).c_str());
    appendf(text, "  analog 0-5: %u %u %u %u %u %u, pull-ups (port 5..0) %s\n", status.analog[0],
                 status.analog[1], status.analog[2], status.analog[3], status.analog[4], status.analog[5],
                 bits(status.analogPullups, 6).c_str());
    appendf(text, "  battery: %.3f V\n", status.batteryVolts);
    if (status.hasPose)
        appendf(text,
                     "  robot: x %.3f m, y %.3f m, heading %.1f deg, bump %s; %.3f m forward, %.1f deg turned in all\n",
                     status.x, status.y, status.headingDeg, status.bumped ? "closed" : "open", status.travelled,
                     status.turned);
    appendf(text, "  exchanges: %llu (%.0f per simulated second, %.0f per real second)\n",
                 static_cast<unsigned long long>(status.exchanges),
                 simulated > 0 ? double(status.exchanges) / simulated : 0.0,
                 realSeconds > 0 ? double(status.exchanges) / realSeconds : 0.0);
    return text;
}

} // namespace

// Prints how the program ended and the controller's state; returns the
// launcher's exit status and puts the same text in `summary`.
int summarise(const SimStatus &status, const Options &options, const std::string &program,
              int waitStatus, double realSeconds, std::string &summary)
{
    const std::string &name = options.command[0];
    int result;
    std::string ending;
    if (status.endedByDuration.load()) {
        result = 0;
        ending = "ended at --duration";
    } else if (WIFEXITED(waitStatus)) {
        result = WEXITSTATUS(waitStatus);
        ending = "exited with status " + std::to_string(result);
    } else {
        const int signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
        result = 128 + signal;
        ending = "was killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    }
    if (status.magic != SimStatus::Magic) {
        summary = withoutSimulator(program, waitStatus) + " (" + ending + ")\n";
    } else {
        const double simulated = double(status.simulatedUs.load()) / 1e6;
        appendf(summary, "%s %s after %.3f s simulated (%.3f s real)\n", name.c_str(), ending.c_str(), simulated,
                realSeconds);
        summary += describeController(status, simulated, realSeconds);
    }
    std::fprintf(stderr, "kestrix-sim: %s", summary.c_str());
    return result;
}

} // namespace kxsim
