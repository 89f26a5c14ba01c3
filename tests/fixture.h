// A fresh fake coprocessor and a real clock for every test.
#ifndef KESTRIX_TESTS_FIXTURE_H
#define KESTRIX_TESTS_FIXTURE_H

#include "clock/fake_clock.h"
#include "fakes/fake_spi.h"

#include <gtest/gtest.h>

class FakeBoard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kxsim::FakeSpi::instance().reset();
        kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Real);
        kxsim::Clock::instance().reset();
    }

    kxsim::FakeSpi &spi() { return kxsim::FakeSpi::instance(); }
    kxsim::Clock &clock() { return kxsim::Clock::instance(); }
};

// A fake board whose sleeps cost no real time.
class VirtualTimeBoard : public FakeBoard
{
protected:
    void SetUp() override
    {
        FakeBoard::SetUp();
        clock().setMode(kxsim::Clock::Mode::Virtual);
    }
    void TearDown() override { clock().setMode(kxsim::Clock::Mode::Real); }
};

#endif
