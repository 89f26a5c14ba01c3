/** @file
 * @addtogroup servo Servos
 * One servo port as an object. Each object holds only its port number, 0 to
 * 3; an object for any other port is refused on every call: setters do
 * nothing and return false where they return anything, isEnabled() is false
 * and position() 65535.
 * @{ */
#ifndef KESTRIX_SERVO_HPP
#define KESTRIX_SERVO_HPP

#include "export.h"

/// One servo port, 0 to 3.
class KESTRIX_API Servo
{
public:
    /// The object for `port`; sends nothing.
    explicit Servo(int port);

    /// Commands a position, 0 to 1023 (one exchange). The position is taken
    /// modulo 65536 and then clamped to 1023: 70000 becomes 4464 and so 1023.
    /// False for a refused port.
    bool setPosition(unsigned int position);
    /// The commanded position, 0 to 1023: the one set, or one less.
    unsigned int position() const;

    /** @name Starting and stopping the pulses */
    ///@{
    /// setEnabled(true) and setEnabled(false).
    void enable();
    void disable();
    ///@}
    /** @name Enable */
    ///@{
    /// Writes only when the port's enable must change.
    void setEnabled(bool enabled);
    bool isEnabled() const;
    ///@}

private:
    int m_port;
};

/** @} */

#endif
