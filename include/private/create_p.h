#ifndef KESTRIX_PRIVATE_CREATE_H
#define KESTRIX_PRIVATE_CREATE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Private {

// The client of the mobile base's serial protocol behind create.h. One line,
// opened by connect(); every operation is a no-op while it is closed.
class Create
{
public:
    static constexpr int ConnectTimeoutMs = 500;
    static constexpr int QueryTimeoutMs = 100;

    static Create &instance();

    bool connect();
    void disconnect();
    bool isConnected() const;

    void start();
    void stop();
    // velocity in mm/s, radius in mm (-1 clockwise, 1 counter-clockwise,
    // 32767 straight).
    void drive(int velocity, int radius);

    // The totals after adding the base's next report.
    int totalDistance();
    int totalAngle();

    // The serial device, "/dev/ttyUSB0" unless a test points it elsewhere.
    void setDevicePath(const std::string &path);
    std::string devicePath() const;

private:
    Create() = default;

    bool send(const std::vector<std::uint8_t> &bytes);
    // Reads exactly `count` bytes within `timeoutMs`; false on a time-out.
    bool receive(std::uint8_t *bytes, std::size_t count, int timeoutMs);
    bool querySigned16(std::uint8_t packet, int &value);
    void closeLine();

    mutable std::mutex m_lock;
    std::string m_path = "/dev/ttyUSB0";
    int m_fd = -1;
    std::int64_t m_distance = 0;
    std::int64_t m_angle = 0;
};

} // namespace Private

#endif
