#include "kestrix/compass.h"

#include "private/compass_p.h"
#include "private/magneto_p.h"

#include "kestrix/util.h"

#include <vector>

int calibrate_compass(void)
{
    std::vector<Compass::Reading> readings;
    readings.reserve(KESTRIX_COMPASS_CALIBRATION_SAMPLES);
    Private::Magneto &magneto = Private::Magneto::instance();
    for (int i = 0; i < KESTRIX_COMPASS_CALIBRATION_SAMPLES; ++i) {
        msleep(KESTRIX_COMPASS_CALIBRATION_PERIOD_MS);
        const double x = magneto.xMagneto();
        const double y = magneto.yMagneto();
        const double z = magneto.zMagneto();
        readings.push_back({x, y, z});
    }
    const auto fitted = Compass::fit(readings);
    if (!fitted)
        return -1;
    Compass::instance().setParams(*fitted);
    return 0;
}

float get_compass_angle(void)
{
    Private::Magneto &magneto = Private::Magneto::instance();
    const double x = magneto.xMagneto();
    const double y = magneto.yMagneto();
    return Compass::heading(Compass::instance().params(), x, y);
}

void set_compass_params(float meanX, float meanY, float meanZ, float W1, float W2, float div_E1,
                        float div_E2)
{
    Compass::instance().setParams({meanX, meanY, meanZ, W1, W2, div_E1, div_E2});
}
