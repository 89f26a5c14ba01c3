#include "capture.h"
#include "emulation.h"
#include "fixture.h"
#include "fresh_process.h"
#include "packets.h"

#include "fakes/fake_device.h"
#include "private/kestrix_p.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using Private::Kestrix;

namespace {

// The packet the library must send for a batch of (address, value) pairs;
// the counter is taken from the packet actually sent.
kxsim::Packet expectedPacket(std::uint8_t counter,
                             const packets::Pairs &pairs)
{
    kxsim::Packet packet{};
    packet[0] = 0x4A;
    packet[1] = 0x02;
    packet[2] = counter;
    packet[3] = static_cast<std::uint8_t>(pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        packet[4 + 2 * k] = pairs[k].first;
        packet[5 + 2 * k] = pairs[k].second;
    }
    packet[85] = 0x53;
    return packet;
}

std::string hexDump(const kxsim::Packet &packet)
{
    std::ostringstream text;
    text << std::hex;
    for (std::uint8_t byte : packet)
        text << unsigned(byte) << ' ';
    return text.str();
}

// Fills registers 1-85 with distinct values, so that a read that takes its
// bytes from the wrong place shows.
void fillSnapshot(kxsim::FakeSpi &spi)
{
    for (std::size_t address = 1; address <= 85; ++address)
        spi.setRegister8(address, static_cast<std::uint8_t>(0xA0 + address));
}

} // namespace

using TransportPacket = VirtualTimeBoard;

TEST_F(TransportPacket, ReadSendsAnEmptyBatchAndReturnsTheSnapshot)
{
    spi().setRegister16(22, 0x1234);
    const unsigned short value = Kestrix::instance().readRegister16b(22);

    ASSERT_EQ(spi().exchangeCount(), 1u);
    const kxsim::Packet out = spi().exchanges().at(0).out;
    EXPECT_EQ(out, expectedPacket(out[2], {}));
    EXPECT_EQ(value, 0x1234);
}

TEST_F(TransportPacket, ReadsAssembleTheSnapshotBigEndian)
{
    fillSnapshot(spi());
    spi().setRegister32(40, 0xFEDCBA98);
    Kestrix &kestrix = Kestrix::instance();

    EXPECT_EQ(kestrix.readRegister8b(57), 0xA0 + 57);
    EXPECT_EQ(kestrix.readRegister16b(41), 0xDCBA);
    EXPECT_EQ(kestrix.readRegister32b(40), 0xFEDCBA98u);
    EXPECT_EQ(spi().exchangeCount(), 3u);
}

TEST_F(TransportPacket, WritesSendTheirPairsMostSignificantByteFirst)
{
    Kestrix &kestrix = Kestrix::instance();
    kestrix.writeRegister8b(57, 0xA5);
    kestrix.writeRegister16b(60, 0x1234);
    kestrix.writeRegister32b(133, 0x01020304);

    const auto exchanges = spi().exchanges();
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(exchanges[0].out, expectedPacket(exchanges[0].out[2], {{57, 0xA5}}));
    EXPECT_EQ(exchanges[1].out, expectedPacket(exchanges[1].out[2], {{60, 0x12}, {61, 0x34}}));
    EXPECT_EQ(exchanges[2].out,
              expectedPacket(exchanges[2].out[2], {{133, 0x01}, {134, 0x02}, {135, 0x03}, {136, 0x04}}));
    EXPECT_EQ(spi().register8(57), 0xA5);
    EXPECT_EQ(spi().register16(60), 0x1234);
    EXPECT_EQ(spi().register32(133), 0x01020304u);
}

TEST_F(TransportPacket, WritesReachTheEndOfTheWindowAndNothingPastIt)
{
    Kestrix &kestrix = Kestrix::instance();

    kestrix.writeRegister8b(148, 0x11);
    kestrix.writeRegister16b(147, 0x2233);
    kestrix.writeRegister32b(145, 0x01020304);
    const auto accepted = spi().exchanges();
    ASSERT_EQ(accepted.size(), 3u);
    EXPECT_EQ(accepted[0].out, expectedPacket(accepted[0].out[2], {{148, 0x11}}));
    EXPECT_EQ(accepted[1].out, expectedPacket(accepted[1].out[2], {{147, 0x22}, {148, 0x33}}));
    EXPECT_EQ(accepted[2].out,
              expectedPacket(accepted[2].out[2], {{145, 0x01}, {146, 0x02}, {147, 0x03}, {148, 0x04}}));

    spi().clearExchanges();
    clock().reset();
    kestrix.writeRegister8b(149, 0x11);
    kestrix.writeRegister16b(148, 0x2233);
    kestrix.writeRegister32b(146, 0x01020304);
    kestrix.writeRegister8b(255, 0x11);
    kestrix.writeRegister16b(255, 0x2233);
    kestrix.writeRegister32b(254, 0x01020304);
    EXPECT_EQ(spi().exchangeCount(), 0u);
    EXPECT_EQ(clock().sleepCount(), 0u);
}

TEST_F(TransportPacket, ReadsReachTheEndOfTheSnapshotAndNothingPastIt)
{
    fillSnapshot(spi());
    spi().setRegister8(86, 0x77);
    Kestrix &kestrix = Kestrix::instance();

    EXPECT_EQ(kestrix.readRegister8b(85), 0xA0 + 85);
    EXPECT_EQ(kestrix.readRegister16b(84), ((0xA0 + 84) << 8) | (0xA0 + 85));
    EXPECT_EQ(kestrix.readRegister32b(82), 0xF2F3F4F5u);
    EXPECT_EQ(spi().exchangeCount(), 3u);

    spi().clearExchanges();
    EXPECT_EQ(kestrix.readRegister8b(86), 0);
    EXPECT_EQ(kestrix.readRegister16b(85), 0);
    EXPECT_EQ(kestrix.readRegister32b(83), 0u);
    EXPECT_EQ(kestrix.readRegister8b(255), 0);
    EXPECT_EQ(kestrix.readRegister32b(255), 0u);
    EXPECT_EQ(spi().exchangeCount(), 0u);
}

TEST_F(TransportPacket, ReadsDoNotCacheTheSnapshot)
{
    spi().setRegister16(30, 100);
    spi().afterExchange(1, [](kxsim::RegisterFile &registers) { registers.set16(30, 200); });
    Kestrix &kestrix = Kestrix::instance();

    EXPECT_EQ(kestrix.readRegister16b(30), 100);
    EXPECT_EQ(kestrix.readRegister16b(30), 200);
}

using TransportPause = VirtualTimeBoard;

TEST_F(TransportPause, EveryExchangeIsFollowedByOneUsleepOf50)
{
    Kestrix &kestrix = Kestrix::instance();
    kestrix.readRegister8b(1);
    kestrix.writeRegister16b(60, 5);
    spi().injectIoctlFailure(EIO, false);
    {
        Capture err(2);
        kestrix.readRegister32b(40);
        spi().injectBadMarker(0x00);
        kestrix.writeRegister8b(57, 1);
    }
    kestrix.readRegister16b(200); // refused: no exchange, no pause

    EXPECT_EQ(spi().exchangeCount(), 4u);
    EXPECT_EQ(clock().sleeps(), std::vector<std::uint64_t>(4, 50));
}

TEST_F(TransportPause, PauseCutShortBySignalIsTakenAgainInFull)
{
    spi().setRegister8(58, 9);
    clock().failSleep(1, EINTR);
    Capture err(2);

    EXPECT_EQ(Kestrix::instance().readRegister8b(58), 9);

    EXPECT_EQ(clock().sleeps(), (std::vector<std::uint64_t>{50, 50}));
    EXPECT_EQ(err.text(), "");
}

using TransportFaults = VirtualTimeBoard;

TEST_F(TransportFaults, WrongMarkerDumpsThePacketAndTheReadKeepsTheReceivedBytes)
{
    fillSnapshot(spi());
    spi().setRegister8(9, 0x00);
    spi().setRegister8(10, 0x05);
    spi().injectBadMarker(0x4B);
    // A caller's own stream settings must neither shape the dump nor be lost.
    std::cerr << std::oct << std::showbase << std::uppercase;
    const std::ios_base::fmtflags before = std::cerr.flags();

    Capture err(2);
    const unsigned int value = Kestrix::instance().readRegister32b(8);
    const std::ios_base::fmtflags after = std::cerr.flags();
    const std::string text = err.text();
    std::cerr.flags(std::ios_base::dec | std::ios_base::skipws | std::ios_base::unitbuf);

    ASSERT_EQ(spi().exchangeCount(), 1u);
    const kxsim::Packet in = spi().exchanges().at(0).in;
    EXPECT_EQ(in[0], 0x4B);
    EXPECT_EQ(text, " Error: DMA de-synchronized\n" + hexDump(in) + "\n");
    // The second line: 86 entries, each followed by one space.
    const std::string dump = text.substr(text.find('\n') + 1);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), ' '), 86);
    EXPECT_EQ(dump.rfind("4b a1 a2 a3 a4 a5 a6 a7 a8 0 5 ab ", 0), 0u) << dump;
    EXPECT_EQ(value, 0xA80005ABu);
    EXPECT_EQ(after, before);
}

TEST_F(TransportFaults, FailedIoctlWithMarkerIsReportedWithTheSystemText)
{
    spi().setRegister16(24, 0x0102);
    spi().injectIoctlFailure(EIO, true);

    Capture err(2);
    const unsigned short value = Kestrix::instance().readRegister16b(24);

    EXPECT_EQ(err.text(), std::string("Error (SPI_IOC_MESSAGE): ") + std::strerror(EIO) + "\n");
    EXPECT_EQ(value, 0x0102);
}

TEST_F(TransportFaults, FailedIoctlWithoutDataIsReportedAsDesynchronisation)
{
    spi().setRegister16(24, 0x0102);
    spi().injectIoctlFailure(ETIMEDOUT, false);

    Capture err(2);
    const unsigned short value = Kestrix::instance().readRegister16b(24);

    std::string zeros;
    for (int i = 0; i < 86; ++i)
        zeros += "0 ";
    EXPECT_EQ(err.text(), " Error: DMA de-synchronized\n" + zeros + "\n");
    EXPECT_EQ(value, 0);
}

TEST_F(TransportFaults, ExchangeAfterAFailureWorksAgain)
{
    spi().setRegister16(26, 0x0304);
    spi().injectIoctlFailure(EIO, false);
    Capture err(2);
    Kestrix::instance().readRegister16b(26);
    const std::string failed = err.text();

    Capture again(2);
    EXPECT_EQ(Kestrix::instance().readRegister16b(26), 0x0304);
    EXPECT_EQ(again.text(), "");
    EXPECT_NE(failed, "");
}

using TransportProcess = FakeBoard;

TEST_F(TransportProcess, FirstExchangeCarriesCounterOneAndTheCounterWrapsAfter255)
{
    runInFreshProcess([](Checks &checks) {
        kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
        kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Virtual);
        Kestrix &kestrix = Kestrix::instance();
        for (int i = 0; i < 257; ++i) {
            if (i % 2)
                kestrix.readRegister8b(1);
            else
                kestrix.writeRegister8b(59, static_cast<unsigned char>(i));
        }
        const auto exchanges = spi.exchanges();
        checks.expectEq(exchanges.size(), 257u, "exchanges");
        for (std::size_t i = 0; i < exchanges.size(); ++i)
            checks.expectEq(unsigned(exchanges[i].out[2]), (i + 1) % 256, "counter of exchange " + std::to_string(i));
        checks.expectEq(spi.openCount(), 1, "opens");
        checks.expectEq(spi.lastOpenFlags(), O_RDWR, "open flags");
    });
}

TEST_F(TransportProcess, MissingDeviceIsReportedOnceAndNothingIsExchanged)
{
    runInFreshProcess([](Checks &checks) {
        kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
        kxsim::Clock &clock = kxsim::Clock::instance();
        clock.setMode(kxsim::Clock::Mode::Virtual);
        spi.setDeviceMissing(true);
        spi.setRegister16(22, 0x1234);
        const int invalidClosesBefore = kxsim::invalidCloseCount();
        checks.atExit([invalidClosesBefore](Checks &atExit) {
            atExit.expectEq(kxsim::invalidCloseCount(), invalidClosesBefore, "close() of the missing device");
            atExit.expectEq(kxsim::FakeSpi::instance().closeCount(), 0, "device closes");
        });

        Capture out(1);
        Capture err(2);
        Kestrix &kestrix = Kestrix::instance();
        const unsigned short value = kestrix.readRegister16b(22);
        kestrix.writeRegister16b(60, 0x0102);
        kestrix.writeRegister8b(57, 3);
        Kestrix::instance().readRegister8b(1);
        const std::string stderrText = err.text();
        checks.expectEq(out.text(), std::string("Device not found: /dev/spidev2.0\n"), "standard output");
        checks.expectEq(stderrText, std::string(), "standard error");

        checks.expectEq(value, 0, "read with the device missing");
        checks.expect(!kestrix.isDeviceOpen(), "device reported open");
        checks.expectEq(spi.exchangeCount(), 0u, "exchanges");
        checks.expectEq(spi.register16(60), 0, "register 60");
        checks.expectEq(clock.sleepCount(), 0u, "pauses");
        checks.expectEq(spi.openCount(), 0, "opens");
    });
}

// Unplugged or unbound mid-run: one line, then the link behaves as if the
// device had been missing from the start, instead of two lines of diagnostics
// for every later exchange.
TEST_F(TransportProcess, LostDeviceIsReportedOnceAndThenTreatedAsMissing)
{
    for (int error : {ENODEV, ENXIO, ESHUTDOWN}) {
        SCOPED_TRACE(std::strerror(error));
        runInFreshProcess([error](Checks &checks) {
            kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
            kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Virtual);
            spi.setRegister16(22, 0x1234);
            checks.atExit([](Checks &atExit) {
                atExit.expectEq(kxsim::FakeSpi::instance().closeCount(), 1, "device closes");
            });
            Kestrix &kestrix = Kestrix::instance();
            checks.expectEq(kestrix.readRegister16b(22), 0x1234, "read before the loss");
            spi.loseDevice(error);

            Capture out(1);
            Capture err(2);
            const unsigned short lost = kestrix.readRegister16b(22);
            for (int i = 0; i < 100; ++i) {
                kestrix.readRegister8b(58);
                kestrix.writeRegister8b(56, 0x55);
            }
            const std::string stderrText = err.text();
            checks.expectEq(out.text(), std::string("Device lost: /dev/spidev2.0\n"), "standard output");
            checks.expectEq(stderrText, std::string(), "standard error");
            checks.expectEq(lost, 0, "read that found the device gone");
            checks.expect(!kestrix.isDeviceOpen(), "lost device reported open");
            checks.expectEq(spi.exchangeCount(), 2u, "exchanges");
        });
    }
}

TEST_F(TransportProcess, DescriptorZeroIsAWorkingDevice)
{
    runInFreshProcess([](Checks &checks) {
        kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
        kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Virtual);
        spi.setRegister16(30, 0x0BCD);
        checks.atExit([](Checks &atExit) {
            atExit.expectEq(kxsim::FakeSpi::instance().closeCount(), 1, "device closes at exit");
            atExit.expectEq(::fcntl(0, F_GETFD), -1, "descriptor 0 still open after exit");
        });
        // Descriptor 0 must be taken while the capture file is opened (the
        // test may have been started with standard input closed), and free
        // when the library opens the device.
        if (::fcntl(0, F_GETFD) == -1)
            ::open("/dev/null", O_RDONLY);
        Capture out(1);
        ::close(0);

        Kestrix &kestrix = Kestrix::instance();
        const unsigned short value = kestrix.readRegister16b(30);
        checks.expectEq(out.text(), std::string(), "standard output");
        checks.expect(kestrix.isDeviceOpen(), "descriptor 0 taken for a missing device");
        checks.expectEq(::fcntl(0, F_GETFD) != -1, true, "descriptor 0 in use");
        checks.expectEq(value, 0x0BCD, "read through descriptor 0");
        checks.expectEq(spi.exchangeCount(), 1u, "exchanges");
    });
}

TEST_F(TransportProcess, CallsFromAThreadStillRunningAtExitSendNothing)
{
    runInFreshProcess([](Checks &checks) {
        static std::atomic<unsigned> s_calls{0};
        static std::atomic<unsigned short> s_last{0};
        kxsim::FakeSpi &spi = kxsim::FakeSpi::instance();
        kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Virtual);
        spi.setRecording(false);
        spi.setRegister16(22, 0x2222);
        // Runs after the transport has shut down at exit: the thread must go
        // on calling it without a crash (or a sanitizer report), and without
        // exchanging.
        checks.atExit([](Checks &atExit) {
            const std::size_t exchanges = kxsim::FakeSpi::instance().exchangeCount();
            const unsigned calls = s_calls.load();
            while (s_calls.load() < calls + 1000)
                std::this_thread::yield();
            atExit.expectEq(kxsim::FakeSpi::instance().exchangeCount(), exchanges, "exchanges after teardown");
            atExit.expectEq(s_last.load(), 0, "read after teardown");
        });
        Kestrix::instance().readRegister8b(1);
        std::thread([] {
            for (;;) {
                s_last = Kestrix::instance().readRegister16b(22);
                ++s_calls;
            }
        }).detach();
        while (s_calls.load() < 1000)
            std::this_thread::yield();
        checks.expectEq(s_last.load(), 0x2222, "read before teardown");
    });
}

// Real sleeping on purpose, and an exchange that takes the fake 20 us: an
// unserialised exchange would leave the other thread wide windows to clear or
// refill the shared buffers in the middle of it.
class SlowExchange : public kxsim::Behaviour
{
public:
    void advance(kxsim::RegisterFile &) override { std::this_thread::sleep_for(std::chrono::microseconds(20)); }
};

class TransportThreads : public FakeBoard
{
protected:
    void SetUp() override
    {
        FakeBoard::SetUp();
        spi().setBehaviour(&m_slow);
    }
    void TearDown() override { spi().setBehaviour(nullptr); }

    SlowExchange m_slow;
};

TEST_F(TransportThreads, TwoThreadsHammeringExchangesCorruptNoPacket)
{
    constexpr unsigned Rounds = 1000;
    std::vector<unsigned short> mismatchesA, mismatchesB;
    auto hammer16 = [&] {
        for (unsigned i = 0; i < Rounds; ++i) {
            Kestrix::instance().writeRegister16b(60, static_cast<unsigned short>(i));
            const unsigned short back = Kestrix::instance().readRegister16b(60);
            if (back != static_cast<unsigned short>(i))
                mismatchesA.push_back(back);
        }
    };
    auto hammer32 = [&] {
        for (unsigned i = 0; i < Rounds; ++i) {
            const unsigned value = 0x80000000u | (i * 0x10001u);
            Kestrix::instance().writeRegister32b(40, value);
            const unsigned back = Kestrix::instance().readRegister32b(40);
            if (back != value)
                mismatchesB.push_back(static_cast<unsigned short>(back));
        }
    };
    std::thread a(hammer16), b(hammer32);
    a.join();
    b.join();

    EXPECT_TRUE(mismatchesA.empty()) << mismatchesA.size() << " reads of register 60 saw another value";
    EXPECT_TRUE(mismatchesB.empty()) << mismatchesB.size() << " reads of register 40 saw another value";
    const auto exchanges = spi().exchanges();
    ASSERT_EQ(exchanges.size(), 4u * Rounds);
    std::vector<unsigned> written60, written40;
    std::size_t malformed = 0;
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        const kxsim::Packet &out = exchanges[i].out;
        const packets::Pairs pairs = packets::pairsOf(out);
        const bool wellFormed = out == expectedPacket(out[2], pairs)
            && out[2] == static_cast<std::uint8_t>(exchanges[0].out[2] + i)
            && (pairs.empty() || (pairs.size() == 2 && pairs[0].first == 60 && pairs[1].first == 61)
                || (pairs.size() == 4 && pairs[0].first == 40 && pairs[1].first == 41
                    && pairs[2].first == 42 && pairs[3].first == 43));
        if (!wellFormed) {
            ++malformed;
            continue;
        }
        if (pairs.size() == 2)
            written60.push_back(unsigned(pairs[0].second) << 8 | pairs[1].second);
        if (pairs.size() == 4)
            written40.push_back(unsigned(pairs[0].second) << 24 | unsigned(pairs[1].second) << 16
                                | unsigned(pairs[2].second) << 8 | pairs[3].second);
    }
    EXPECT_EQ(malformed, 0u);
    ASSERT_EQ(written60.size(), Rounds);
    ASSERT_EQ(written40.size(), Rounds);
    for (unsigned i = 0; i < Rounds; ++i) {
        EXPECT_EQ(written60[i], i);
        EXPECT_EQ(written40[i], 0x80000000u | (i * 0x10001u));
    }
}

TEST_F(TransportThreads, UpdateLockKeepsAReadModifyWriteWhole)
{
    constexpr int Threads = 4;
    constexpr int Rounds = 301; // odd: every thread ends with its bit set
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t] {
            Kestrix &kestrix = Kestrix::instance();
            const unsigned char bit = static_cast<unsigned char>(1 << t);
            for (int i = 0; i < Rounds; ++i) {
                auto guard = kestrix.updateLock();
                const unsigned char value = kestrix.readRegister8b(21);
                kestrix.writeRegister8b(21, static_cast<unsigned char>(value ^ bit));
            }
        });
    }
    for (auto &thread : threads)
        thread.join();

    EXPECT_EQ(spi().register8(21), 0x0F);
    EXPECT_EQ(spi().exchangeCount(), 2u * Threads * Rounds);
}

// A duplicate of the fake device's descriptor reaches the fake; a fake's
// number that dup2 or dup3 overwrites, or close_range closes, reaches the
// kernel; the device hears of each open file's close once, at its last
// descriptor. (The fake answers an empty SPI message with EINVAL, the
// kernel's /dev/null with ENOTTY.)
TEST_F(FakeBoard, DuplicatesOfTheDeviceDescriptorAreTheDevicesAndOverwrittenOnesAreNot)
{
    // The kernel refuses an SPI message on a file that is not an SPI device
    // (ENOTTY); a user-mode emulator of the board refuses every request it
    // does not know before the kernel sees it (ENOSYS). The fake answers a
    // message without a transfer with EINVAL.
    const auto reaches = [](int fd) {
        errno = 0;
        ::ioctl(fd, kxsim::SpiMessage1, nullptr);
        const bool kernel = errno == ENOTTY || (underEmulation() && errno == ENOSYS);
        return errno == EINVAL ? "fake" : kernel ? "kernel" : "neither";
    };
    const int device = ::open("/dev/spidev2.0", O_RDWR);
    ASSERT_GE(device, 0);
    const int null = ::open("/dev/null", O_RDWR);
    const int copies[] = {::dup(device), ::fcntl(device, F_DUPFD, 200), ::fcntl(device, F_DUPFD_CLOEXEC, 300),
                          ::dup2(device, 400), ::dup3(device, 401, O_CLOEXEC)};
    for (const int copy : copies) {
        ASSERT_GE(copy, 0);
        EXPECT_STREQ(reaches(copy), "fake") << "copy " << copy;
    }
    EXPECT_STREQ(reaches(null), "kernel");
    // The original goes first: its copies go on with the fake.
    ::close(device);
    EXPECT_STREQ(reaches(copies[0]), "fake");
    EXPECT_EQ(spi().closeCount(), 0);
    // Overwritten by the kernel's file, closed by a range.
    ASSERT_EQ(::dup2(null, copies[3]), copies[3]);
    EXPECT_STREQ(reaches(copies[3]), "kernel");
    ASSERT_EQ(::dup3(null, copies[4], 0), copies[4]);
    EXPECT_STREQ(reaches(copies[4]), "kernel");
    ASSERT_EQ(::close_range(200, 300, 0), 0);
    ASSERT_EQ(::dup2(null, 200), 200);
    EXPECT_STREQ(reaches(200), "kernel") << "a number close_range closed is the fake's no more";
    EXPECT_EQ(spi().closeCount(), 0) << "one descriptor of the open file is left";
    ::close(copies[0]);
    EXPECT_EQ(spi().closeCount(), 1);
    // The kernel's file duplicated onto a number: never the fake's.
    ASSERT_EQ(::dup2(null, copies[0]), copies[0]);
    EXPECT_STREQ(reaches(copies[0]), "kernel");
    for (const int fd : {null, copies[0], copies[3], copies[4], 200})
        ::close(fd);
    EXPECT_EQ(spi().openCount(), 1);
    EXPECT_EQ(spi().closeCount(), 1);
}
