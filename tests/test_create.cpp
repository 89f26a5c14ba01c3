#include "private/create_p.h"
#include "kestrix/create.h"

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

// Plays the base on the master side of a pseudo-terminal pair: records every
// byte the library sends and answers sensor queries (opcode 142) for packets
// 35 (mode), 19 (distance) and 20 (angle) from queues set by the test.
class PlayedBase
{
public:
    explicit PlayedBase(bool answers) : m_answers(answers)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        m_slavePath = ::ptsname(m_master);
        // Holding the slave open keeps the master readable between the
        // library's own opens and closes.
        m_keepSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
        m_thread = std::thread([this] { run(); });
    }

    ~PlayedBase()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_keepSlave >= 0)
            ::close(m_keepSlave);
        if (m_master >= 0)
            ::close(m_master);
    }

    const std::string &slavePath() const { return m_slavePath; }

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

    void forget()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_received.clear();
    }

private:
    void push(std::deque<std::int16_t> &queue, std::int16_t value)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        queue.push_back(value);
    }

    void run()
    {
        Bytes pending;
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            std::uint8_t buffer[64];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
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
                (void)!::write(m_master, r.data(), r.size());
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
            default:
                break;
            }
            if (pending.size() < length)
                return;
            if (pending[0] == 142 && m_answers)
                replies.push_back(reply(pending[1]));
            pending.erase(pending.begin(), pending.begin() + length);
        }
    }

    Bytes reply(std::uint8_t packet)
    {
        Bytes out;
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
            out.push_back(1);
        else if (packet == 19)
            take16(m_distances);
        else if (packet == 20)
            take16(m_angles);
        return out;
    }

    bool m_answers;
    int m_master = -1;
    int m_keepSlave = -1;
    std::string m_slavePath;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_delayNextReplyMs{0};
    std::mutex m_lock;
    std::condition_variable m_arrived;
    Bytes m_received;
    std::deque<std::int16_t> m_distances, m_angles;
};

class MobileBase : public ::testing::Test
{
protected:
    void TearDown() override
    {
        create_disconnect();
        Private::Create::instance().setDevicePath("/dev/ttyUSB0");
    }

    void use(const std::string &path) { Private::Create::instance().setDevicePath(path); }
};

} // namespace

TEST_F(MobileBase, CommandsGoOutAsTheirExactOpcodeBytes)
{
    PlayedBase base(true);
    ASSERT_FALSE(base.slavePath().empty());
    use(base.slavePath());

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
    use(base.slavePath());
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
    use(base.slavePath());
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

    const Bytes sent = base.received(3 + 8 * 2);
    const Bytes queries(sent.begin() + 3, sent.end());
    EXPECT_EQ(queries, (Bytes{142, 19, 142, 20, 142, 19, 142, 20, 142, 19, 142, 20, 142, 19, 142, 20}));

    // A new connection starts the totals again.
    base.queueDistance(5);
    ASSERT_EQ(create_connect(), 0);
    EXPECT_EQ(get_create_distance(), 5);
}

TEST_F(MobileBase, SilentBaseMakesConnectFailPromptly)
{
    PlayedBase base(false);
    use(base.slavePath());
    const auto start = Clock::now();
    EXPECT_EQ(create_connect(), -1);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_FALSE(Private::Create::instance().isConnected());

    // Not connected: nothing is sent and the getters report 0 at once.
    base.forget();
    create_start();
    create_spin_CW(40);
    EXPECT_EQ(get_create_distance(), 0);
    EXPECT_EQ(get_create_total_angle(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(base.received(0).empty());
}

TEST_F(MobileBase, WithoutADeviceEveryCallReturnsAtOnce)
{
    use("/nonexistent/ttyUSB0");
    const auto start = Clock::now();
    EXPECT_EQ(create_connect(), -1);
    create_start();
    create_spin_CW(40);
    create_spin_CCW(40);
    EXPECT_EQ(get_create_distance(), 0);
    EXPECT_EQ(get_create_total_angle(), 0);
    create_stop();
    create_disconnect();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));

    // A device that is not a serial line is refused too.
    use("/dev/null");
    EXPECT_EQ(create_connect(), -1);
}

TEST_F(MobileBase, UnansweredQueryAddsNothingAndItsLateAnswerIsDropped)
{
    PlayedBase base(true);
    use(base.slavePath());
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
