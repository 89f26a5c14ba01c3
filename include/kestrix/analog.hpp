/** @file
 * @addtogroup analog Analog inputs
 * One analog input as an object. Each object holds only its port number.
 *
 * The objects read the conversion result as it is and never touch the
 * pull-up, unlike the C functions analog() and analog_et(): set the pull-up
 * with set_analog_pullup() when the sensor needs it. One exchange per value().
 * @{ */
#ifndef KESTRIX_ANALOG_HPP
#define KESTRIX_ANALOG_HPP

#include "export.h"

/// One analog input port, 0 to 5, read as the 12-bit conversion result.
class KESTRIX_API Analog
{
public:
    /// The object for `port`; sends nothing.
    explicit Analog(unsigned char port);
    virtual ~Analog();

    /// The 12-bit conversion result, 0 to 4095. A port above 5 reads whatever
    /// lies at its place, or 0 where that is beyond what the coprocessor
    /// reports. Subclasses scale it.
    virtual unsigned short value() const;

    /// The port number; sends nothing.
    unsigned char port() const;

    /// Whether the port's pull-up is on; false for a port of 8 or more.
    bool pullup() const;

private:
    unsigned char m_port;
};

/// The conversion result scaled to 8 bits, 0 to 255.
class KESTRIX_API Analog8 : public Analog
{
public:
    /// The object for `port`; sends nothing.
    explicit Analog8(unsigned char port);
    /// The conversion result scaled to 8 bits (one exchange).
    unsigned short value() const override;
};

/// The conversion result scaled to 10 bits, 0 to 1023.
class KESTRIX_API Analog10 : public Analog
{
public:
    /// The object for `port`; sends nothing.
    explicit Analog10(unsigned char port);
    /// The conversion result scaled to 10 bits (one exchange).
    unsigned short value() const override;
};

/** @} */

#endif
