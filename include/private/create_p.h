#ifndef KESTRIX_PRIVATE_CREATE_H
#define KESTRIX_PRIVATE_CREATE_H

#include <cstdint>
#include <mutex>
#include <vector>

namespace Private {

// The client of the mobile base's serial protocol behind create.h. One line,
// /dev/ttyUSB0, opened by connect(); every operation is a no-op while it is
// closed. The line is closed when it fails (the adapter was unplugged) or when
// MissedAnswersLimit queries in a row got no valid answer.
class Create
{
public:
    static constexpr int ConnectTimeoutMs = 500;
    static constexpr int QueryTimeoutMs = 100;
    static constexpr int MissedAnswersLimit = 3;
    // What the getters report without a connected base.
    static constexpr int Disconnected = -1;
    static constexpr const char *DevicePath = "/dev/ttyUSB0";

    static Create &instance();

    bool connect();
    void disconnect();
    bool isConnected() const;

    void start();
    void stop();
    // velocity in mm/s, radius in mm (-1 clockwise, 1 counter-clockwise,
    // 32767 straight).
    void drive(int velocity, int radius);

    // The totals after adding the base's next report; Disconnected while no
    // base is connected.
    int totalDistance();
    int totalAngle();

private:
    Create() = default;

    bool send(const std::vector<std::uint8_t> &bytes);
    // Reads exactly `count` bytes within `timeoutMs`; false on a time-out.
    bool receive(std::uint8_t *bytes, std::size_t count, int timeoutMs);
    int total(std::uint8_t packet, std::int64_t &sum);
    // Asks for the mode and `packet` (a signed 16-bit report) in one query
    // list; true only for exactly the three answer bytes with a valid mode.
    bool queryMotion(std::uint8_t packet, int &value);
    // Whether a byte is waiting beyond an answer (it is consumed).
    bool moreInput();
    void closeLine();

    mutable std::mutex m_lock;
    int m_fd = -1;
    int m_missedAnswers = 0;
    std::int64_t m_distance = 0;
    std::int64_t m_angle = 0;
};

} // namespace Private

#endif
