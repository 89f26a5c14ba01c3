#ifndef KESTRIX_PRIVATE_COMPASS_H
#define KESTRIX_PRIVATE_COMPASS_H

#include <optional>
#include <vector>

// The compass behind compass.h: the correction parameters, the heading they
// give for a raw reading, and the ellipse fit of a calibration.
class Compass
{
public:
    struct Params
    {
        float meanX = 0, meanY = 0, meanZ = 0;
        float w1 = 1, w2 = 0;         // unit direction of the major axis
        float divE1 = 1, divE2 = 1;   // divisors along the major and minor axis
    };

    struct Reading
    {
        double x, y, z;
    };

    static Compass &instance();

    Params params() const;
    // Stores the parameters after making them usable (see compass.h).
    void setParams(const Params &params);

    // Heading in degrees, [0, 360), of one raw reading under `params`.
    static float heading(const Params &params, double x, double y);

    // The parameters that turn the X/Y readings back into a circle around the
    // origin, or nothing when the readings do not trace an ellipse that
    // surrounds its centre.
    static std::optional<Params> fit(const std::vector<Reading> &readings);

private:
    Compass() = default;
};

#endif
