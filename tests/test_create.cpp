#include "private/create_p.h"
#include "kestrix/create.h"

#include "fakes/fake_serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Plays the base on the far end of the fake /dev/ttyUSB0: records every byte
// the library sends and answers sensor queries (opcode 142) and query lists
// (149) for packets 35 (mode), 19 (distance) and 20 (angle) from queues set
// by the test.
class PlayedBase
{
public:
    explicit PlayedBase(bool answers) : m_answers(answers)
    {
        m_line = kxsim::FakeSerial::instance().plug();
        if (m_line >= 0)
            m_thread = std::thread([this] { run(); });
    }

    ~PlayedBase() { unplug(); }

    bool plugged() const { return m_line >= 0; }

    // The adapter is pulled out.
    void unplug()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        kxsim::FakeSerial::instance().unplug();
    }

    void queueDistance(std::int16_t mm) { push(m_distances, mm); }
    void queueAngle(std::int16_t degrees) { push(m_angles, degrees); }

    // Everything received so far, once at least `count` bytes have come or
    // two seconds have passed.
    Bytes received(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_arrived.wait_for(lock, std::chrono::seconds(2), [&] { return m_received.size() >= count; });
        return m_received;
    }

    void delayNextReply(int ms) { m_delayNextReplyMs = ms; }
    // Every later reply is preceded by these bytes.
    void prefixReplies(const Bytes &bytes) { setUnder(m_prefix, bytes); }
    // Every later reply is these bytes instead of the answer.
    void replaceReplies(const Bytes &bytes) { setUnder(m_replacement, bytes); }
    void setMode(std::uint8_t mode) { m_mode = mode; }
    void setAnswers(bool answers) { m_answers = answers; }
    // Bytes the base sends of its own accord.
    void sendUnasked(const Bytes &bytes) { (void)!::write(m_line, bytes.data(), bytes.size()); }

    void forget()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_received.clear();
    }

private:
    void setUnder(Bytes &target, const Bytes &bytes)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        target = bytes;
    }

    void push(std::deque<std::int16_t> &queue, std::int16_t value)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        queue.push_back(value);
    }

    void run()
    {
        Bytes pending;
        while (!m_stop) {
            pollfd p{m_line, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            std::uint8_t buffer[64];
            const ssize_t n = ::read(m_line, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            std::vector<Bytes> replies;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_received.insert(m_received.end(), buffer, buffer + n);
                pending.insert(pending.end(), buffer, buffer + n);
                answer(pending, replies);
                m_arrived.notify_all();
            }
            for (const Bytes &r : replies) {
                const int delay = m_delayNextReplyMs.exchange(0);
                if (delay > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                (void)!::write(m_line, r.data(), r.size());
            }
        }
    }

    // Walks whole commands off the front of `pending`, answering queries.
    void answer(Bytes &pending, std::vector<Bytes> &replies)
    {
        for (;;) {
            if (pending.empty())
                return;
            std::size_t length = 1;
            switch (pending[0]) {
            case 137:
            case 145:
                length = 5;
                break;
            case 142:
                length = 2;
                break;
            case 149:
                length = pending.size() > 1 ? 2 + pending[1] : 2;
                break;
            default:
                break;
            }
            if (pending.size() < length)
                return;
            if ((pending[0] == 142 || pending[0] == 149) && m_answers) {
                Bytes out = m_prefix;
                if (!m_replacement.empty()) {
                    out.insert(out.end(), m_replacement.begin(), m_replacement.end());
                } else if (pending[0] == 142) {
                    reply(pending[1], out);
                } else {
                    for (std::size_t i = 2; i < length; ++i)
                        reply(pending[i], out);
                }
                replies.push_back(out);
            }
            pending.erase(pending.begin(), pending.begin() + length);
        }
    }

    void reply(std::uint8_t packet, Bytes &out)
    {
        auto take16 = [&](std::deque<std::int16_t> &queue) {
            std::int16_t v = 0;
            if (!queue.empty()) {
                v = queue.front();
                queue.pop_front();
            }
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
            out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        };
        if (packet == 35)
            out.push_back(m_mode);
        else if (packet == 19)
            take16(m_distances);
        else if (packet == 20)
            take16(m_angles);
    }

    std::atomic<bool> m_answers;
    int m_line = -1;
    std::thread m_thread;
    std::atomic<std::uint8_t> m_mode{1};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_delayNextReplyMs{0};
    std::mutex m_lock;
    std::condition_variable m_arrived;
    Bytes m_received;
    Bytes m_prefix, m_replacement;
    std::deque<std::int16_t> m_distances, m_angles;
};

class MobileBase : public ::testing::Test
{
protected:
    void TearDown() override
    {
        create_disconnect();
        kxsim::FakeSerial::instance().unplug();
    }
};

// The query a getter sends: a query list of the mode and one report.
Bytes queryOf(std::uint8_t packet)
{
    return {149, 2, 35, packet};
}

} // namespace

TEST_F(MobileBase, CommandsGoOutAsTheirExactOpcodeBytes)
{
    PlayedBase base(true);
    ASSERT_TRUE(base.plugged());

    ASSERT_EQ(create_connect(), 0);
    EXPECT_EQ(base.received(3), (Bytes{128, 142, 35}));
    base.forget();

    create_start();
    create_spin_CW(40);
    create_spin_CCW(40);
    create_stop();
    const Bytes expected{128, 131,                // start, safe mode
                         137, 0x00, 40, 0xFF, 0xFF, // drive 40 mm/s, radius -1
                         137, 0x00, 40, 0x00, 0x01, // drive 40 mm/s, radius 1
                         137, 0, 0, 0x7F, 0xFF, 173}; // halt straight, stop
    EXPECT_EQ(base.received(expected.size()), expected);
}

TEST_F(MobileBase, SpinSpeedIsClampedToTheBaseRange)
{
    PlayedBase base(true);
    ASSERT_EQ(create_connect(), 0);
    base.received(3);
    base.forget();
    create_spin_CW(1000);
    create_spin_CCW(-40);
    const Bytes expected{137, 0x01, 0xF4, 0xFF, 0xFF, 137, 0xFF, 0xD8, 0x00, 0x01};
    EXPECT_EQ(base.received(expected.size()), expected);
}

TEST_F(MobileBase, TotalsAccumulateTheBaseReportsAcrossReads)
{
    PlayedBase base(true);
    // 13 is a carriage return and 10 a newline, which a line not in raw mode
    // would translate or hold back.
    for (std::int16_t d : {10, -3, 13, 266})
        base.queueDistance(d);
    for (std::int16_t a : {90, 90, -200, 10})
        base.queueAngle(a);
    ASSERT_EQ(create_connect(), 0);

    EXPECT_EQ(get_create_distance(), 10);
    EXPECT_EQ(get_create_total_angle(), 90);
    EXPECT_EQ(get_create_distance(), 7);
    EXPECT_EQ(get_create_total_angle(), 180);
    EXPECT_EQ(get_create_distance(), 20);
    EXPECT_EQ(get_create_total_angle(), -20);
    EXPECT_EQ(get_create_distance(), 286);
    EXPECT_EQ(get_create_total_angle(), -10);

    const Bytes sent = base.received(3 + 8 * 4);
    Bytes expected{128, 142, 35};
    for (int i = 0; i < 4; ++i)
        for (std::uint8_t packet : {19, 20}) {
            const Bytes query = queryOf(packet);
            expected.insert(expected.end(), query.begin(), query.end());
        }
    EXPECT_EQ(sent, expected);

    // The line as the base needs it: 115200 baud, raw, 8N1, no flow control.
    termios line{};
    ASSERT_TRUE(kxsim::FakeSerial::instance().settings(line));
    EXPECT_EQ(cfgetospeed(&line), B115200);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | ICRNL), 0u);

    // A new connection starts the totals again.
    base.queueDistance(5);
    ASSERT_EQ(create_connect(), 0);
    EXPECT_EQ(get_create_distance(), 5);
}

TEST_F(MobileBase, SilentBaseMakesConnectFailPromptly)
{
    PlayedBase base(false);
    const auto start = Clock::now();
    EXPECT_EQ(create_connect(), -1);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_FALSE(Private::Create::instance().isConnected());

    // Not connected: nothing is sent and the getters report -1 at once.
    base.forget();
    create_start();
    create_spin_CW(40);
    EXPECT_EQ(get_create_distance(), -1);
    EXPECT_EQ(get_create_total_angle(), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(base.received(0).empty());
}

TEST_F(MobileBase, WithoutADeviceEveryCallReturnsAtOnce)
{
    // Nothing plugged in: /dev/ttyUSB0 does not exist.
    const auto start = Clock::now();
    EXPECT_EQ(create_connect(), -1);
    create_start();
    create_spin_CW(40);
    create_spin_CCW(40);
    EXPECT_EQ(get_create_distance(), -1);
    EXPECT_EQ(get_create_total_angle(), -1);
    create_stop();
    create_disconnect();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));

    // A device that is not a serial line is refused too.
    ASSERT_GE(kxsim::FakeSerial::instance().plug(kxsim::FakeSerial::Line::NotATerminal), 0);
    EXPECT_EQ(create_connect(), -1);
}

TEST_F(MobileBase, UnansweredQueryAddsNothingAndItsLateAnswerIsDropped)
{
    PlayedBase base(true);
    base.queueDistance(100);
    base.queueDistance(7);
    ASSERT_EQ(create_connect(), 0);

    base.delayNextReply(300);
    const auto start = Clock::now();
    EXPECT_EQ(get_create_distance(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(290));
    // Let the late answer (100) reach the line; the next read must not take
    // it for the answer to its own query.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(get_create_distance(), 7);
}

TEST_F(MobileBase, GarbageIsNeverTakenForAnAnswer)
{
    PlayedBase base(true);
    base.setMode('g'); // not one of the four modes
    EXPECT_EQ(create_connect(), -1);

    base.setMode(1);
    base.queueDistance(10);
    ASSERT_EQ(create_connect(), 0);
    base.replaceReplies({'g', 'a', 'r'});
    EXPECT_EQ(get_create_distance(), 0);
    EXPECT_EQ(get_create_distance(), 0);
    // Three queries in a row without a valid answer: the base is gone.
    EXPECT_EQ(get_create_distance(), -1);
    base.replaceReplies({});
    EXPECT_EQ(get_create_total_angle(), -1);

    ASSERT_EQ(create_connect(), 0);
    EXPECT_EQ(get_create_distance(), 10);
}

TEST_F(MobileBase, BytesTheBaseWasNotAskedForAreDiscarded)
{
    PlayedBase base(true);
    for (std::int16_t d : {10, 20, 30})
        base.queueDistance(d);
    ASSERT_EQ(create_connect(), 0);

    // Sent while nobody asked: gone before the next query.
    base.sendUnasked({0x01, 0x00, 0x50});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(get_create_distance(), 10);

    // A stray byte ahead of the answer makes the whole reply unusable; its
    // report (20) is lost, the total keeps its value.
    base.prefixReplies({0x7F});
    EXPECT_EQ(get_create_distance(), 10);
    base.prefixReplies({});
    EXPECT_EQ(get_create_distance(), 40);
}

TEST_F(MobileBase, AnUnpluggedOrSilentBaseReadsAsDisconnected)
{
    {
        PlayedBase base(true);
        base.queueDistance(25);
        base.queueAngle(-90);
        ASSERT_EQ(create_connect(), 0);
        EXPECT_EQ(get_create_distance(), 25);
        base.unplug();
        EXPECT_EQ(get_create_distance(), -1);
        EXPECT_EQ(get_create_total_angle(), -1);
        EXPECT_FALSE(Private::Create::instance().isConnected());
    }

    PlayedBase base(true);
    base.queueDistance(5);
    ASSERT_EQ(create_connect(), 0);
    EXPECT_EQ(get_create_distance(), 5);
    base.setAnswers(false);
    EXPECT_EQ(get_create_distance(), 5);
    EXPECT_EQ(get_create_total_angle(), 0);
    EXPECT_EQ(get_create_distance(), -1);
    const auto start = Clock::now();
    EXPECT_EQ(get_create_total_angle(), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
}
