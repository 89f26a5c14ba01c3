// A virtual-time board with a fresh fake input device, every key up.
#ifndef KESTRIX_TESTS_BUTTONS_FIXTURE_H
#define KESTRIX_TESTS_BUTTONS_FIXTURE_H

#include "fixture.h"

#include "private/buttons_p.h"
#include "fakes/fake_input.h"
#include "private/input_keys_p.h"

class ButtonBoard : public VirtualTimeBoard
{
protected:
    void SetUp() override
    {
        VirtualTimeBoard::SetUp();
        input().reset();
        // The input source keeps its device between questions; start every
        // test from a fresh look at the devices, with the device already
        // found so that the look itself is not counted.
        Private::InputKeys::instance().rescan();
        Private::InputKeys::instance().isDown(0);
        input().reset();
        ExtraButtons::setShown(false);
    }

    void TearDown() override
    {
        input().reset();
        VirtualTimeBoard::TearDown();
    }

    kxsim::FakeInput &input() { return kxsim::FakeInput::instance(); }
};

#endif
