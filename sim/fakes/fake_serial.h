// A fake USB serial adapter behind /dev/ttyUSB0, for the mobile base.
//
// The line is one pseudo-terminal pair. Opening /dev/ttyUSB0 hands the
// library a real descriptor of the terminal side, so read, write, poll and
// every termios call (tcgetattr, tcsetattr, tcflush: ioctls on that
// descriptor) behave as on a real serial line. The other side, the base's
// end, belongs to whoever plays the base: a test, or the simulator's model
// of the base. It reads there what the library sent and writes there what
// the base answers.
//
//     FakeSerial &line = FakeSerial::instance();
//     const int base = line.plug();     // /dev/ttyUSB0 opens from now on
//     ... the library writes 128 142 35; read(base, ...) sees them ...
//     write(base, "\x01", 1);           // the base answers: passive mode
//     line.unplug();                    // the adapter is pulled out
//
// While unplugged (the state at start) opening /dev/ttyUSB0 fails with
// ENOENT, so neither tests nor simulated programs ever reach the machine's
// own adapter. Unplugging hangs up every descriptor the library holds: its
// reads and writes fail and poll reports POLLHUP, as with a pulled USB
// adapter. All calls are safe from several threads.
#ifndef KESTRIX_SIM_FAKE_SERIAL_H
#define KESTRIX_SIM_FAKE_SERIAL_H

#include <mutex>

#include <termios.h>

namespace kxsim {

class FakeSerial
{
public:
    enum class Line {
        Serial,       // a terminal: the usual adapter
        NotATerminal, // opens, but every termios call fails (not a serial line)
    };

    static FakeSerial &instance();

    // Plugs in a fresh line (unplugging the previous one) and returns the
    // base's end, a non-blocking descriptor owned by FakeSerial and valid
    // until unplug(); -1 when no pseudo-terminal can be made. For
    // NotATerminal the return value is a descriptor of /dev/null.
    int plug(Line line = Line::Serial);
    // Pulls the adapter out; see above. Does nothing while unplugged.
    void unplug();
    bool plugged() const;

    // The base's end of the line, -1 while unplugged.
    int baseEnd() const;
    // The line's current settings as the library last set them; false while
    // unplugged or for a line that is not a terminal.
    bool settings(termios &out) const;

    // Called by the device file; not for tests.
    int open(int flags);

private:
    FakeSerial() = default;
    void closeLine();

    mutable std::mutex m_lock;
    Line m_line = Line::Serial;
    int m_base = -1;     // the pseudo-terminal's master side
    int m_terminal = -1; // a terminal-side descriptor held open so that the
                         // base's end stays usable between the library's
                         // opens and closes
    char m_terminalPath[64] = {};
};

} // namespace kxsim

#endif
