// Scenarios that need a process of their own: the transport, the packet
// counter and the device-missing state last for the whole process, so a test
// about the first exchange, a missing device or descriptor 0 must not share
// its process with other tests.
//
// runInFreshProcess() re-executes the test binary for the current test only
// (GoogleTest's "threadsafe" death-test style), runs the scenario there and
// expects the child to exit with status 0. The scenario records what did not
// hold with Checks::expect(); the child exits 1 and prints those lines on
// standard error (GoogleTest shows them) when any check failed. Checks that
// must run at process exit (after the library's static instances are gone)
// register with Checks::atExit() before the library is first used.
#ifndef KESTRIX_TESTS_FRESH_PROCESS_H
#define KESTRIX_TESTS_FRESH_PROCESS_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

class Checks
{
public:
    // Records `what` as a failure unless `holds`.
    void expect(bool holds, const std::string &what)
    {
        if (!holds)
            s_failures.push_back(what);
    }

    template <typename A, typename B>
    void expectEq(const A &actual, const B &expected, const std::string &what)
    {
        if (!(actual == expected)) {
            std::ostringstream text;
            text << what << ": got " << actual << ", expected " << expected;
            s_failures.push_back(text.str());
        }
    }

    // Runs `check` at process exit, after the static instances that were
    // created later (the library's) were destroyed. Register it before the
    // first library call. A failed check ends the process with status 2.
    void atExit(std::function<void(Checks &)> check)
    {
        s_exitChecks.push_back(std::move(check));
        if (s_exitChecks.size() == 1)
            std::atexit(&Checks::runExitChecks);
    }

    [[noreturn]] void finish()
    {
        report();
        std::exit(s_failures.empty() ? 0 : 1);
    }

private:
    static void report()
    {
        for (const std::string &failure : s_failures)
            std::cerr << failure << '\n';
        std::cerr.flush();
    }

    static void runExitChecks()
    {
        const std::size_t before = s_failures.size();
        Checks checks;
        for (auto &check : s_exitChecks)
            check(checks);
        if (s_failures.size() != before) {
            s_failures.erase(s_failures.begin(), s_failures.begin() + static_cast<long>(before));
            report();
            _exit(2);
        }
    }

    static inline std::vector<std::string> s_failures;
    static inline std::vector<std::function<void(Checks &)>> s_exitChecks;
};

inline void runInFreshProcess(const std::function<void(Checks &)> &scenario)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Checks checks;
            scenario(checks);
            checks.finish();
        },
        ::testing::ExitedWithCode(0), "");
}

#endif
