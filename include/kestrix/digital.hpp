/** @file
 * @addtogroup digital Digital pins
 * One digital pin as an object. Each object holds only its pin number; every
 * call goes to the coprocessor, so any number of objects may share a pin.
 *
 * Unlike the C function digital(), value() is the pin's reported bit as it
 * is, not inverted. Pin numbers are not range-checked: a pin of 16 or more
 * reads false and its setters change nothing.
 * @{ */
#ifndef KESTRIX_DIGITAL_HPP
#define KESTRIX_DIGITAL_HPP

#include "export.h"

/// One digital pin, 0 to 15.
class KESTRIX_API Digital
{
public:
    /// The object for pin `port`; sends nothing.
    explicit Digital(unsigned char port);

    /// The output bit (two exchanges). Always true.
    bool setValue(bool value);
    /// The level the coprocessor reports (one exchange).
    bool value() const;

    /** @name Direction */
    ///@{
    /// Output (true) or input (false). The setter always returns true.
    bool setOutput(bool output);
    bool isOutput() const;
    ///@}

    /** @name Pull-up */
    ///@{
    /// The pin's pull-up, on (true) or off. The setter always returns true.
    bool setPullup(bool pullup);
    bool pullup() const;
    ///@}

private:
    unsigned char m_port;
};

/** @} */

#endif
