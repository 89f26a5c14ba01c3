#include "private/compass_p.h"

#include <array>
#include <cmath>
#include <mutex>

namespace {

constexpr double Pi = 3.14159265358979323846;

// A soft-iron distortion never squashes the circle this far; a flatter fit
// means the robot did not turn, or turned on a slope.
constexpr double MinAxisRatio = 0.2;
// The readings must surround the fitted centre: at least 10 of 12 sectors of
// 30 degrees (300 degrees of turn) must hold one.
constexpr int Sectors = 12;
constexpr int MinSectorsHit = 10;
// Root-mean-square distance of the readings from the fitted ellipse, as a
// share of its size. A cloud of noise around one point fits an ellipse too,
// but its readings fill the inside instead of lying on the rim.
constexpr double MaxRimError = 0.25;

std::mutex s_lock;
Compass::Params s_params;

float finiteOr(float value, float fallback)
{
    return std::isfinite(value) ? value : fallback;
}

// Solves the 5x5 system a x = b in place by Gaussian elimination with partial
// pivoting; false when it is (nearly) singular.
bool solve5(std::array<std::array<double, 6>, 5> &a, std::array<double, 5> &x)
{
    constexpr int N = 5;
    for (int col = 0; col < N; ++col) {
        int pivot = col;
        for (int row = col + 1; row < N; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col]))
                pivot = row;
        if (std::fabs(a[pivot][col]) < 1e-12)
            return false;
        std::swap(a[col], a[pivot]);
        for (int row = col + 1; row < N; ++row) {
            const double factor = a[row][col] / a[col][col];
            for (int k = col; k <= N; ++k)
                a[row][k] -= factor * a[col][k];
        }
    }
    for (int row = N - 1; row >= 0; --row) {
        double sum = a[row][N];
        for (int k = row + 1; k < N; ++k)
            sum -= a[row][k] * x[k];
        x[row] = sum / a[row][row];
    }
    return true;
}

} // namespace

Compass &Compass::instance()
{
    static Compass s_instance;
    return s_instance;
}

Compass::Params Compass::params() const
{
    std::lock_guard<std::mutex> guard(s_lock);
    return s_params;
}

void Compass::setParams(const Params &given)
{
    Params p;
    p.meanX = finiteOr(given.meanX, 0);
    p.meanY = finiteOr(given.meanY, 0);
    p.meanZ = finiteOr(given.meanZ, 0);
    const double w1 = finiteOr(given.w1, 0), w2 = finiteOr(given.w2, 0);
    const double length = std::hypot(w1, w2);
    if (length > 0 && std::isfinite(length)) {
        p.w1 = static_cast<float>(w1 / length);
        p.w2 = static_cast<float>(w2 / length);
    }
    p.divE1 = std::isfinite(given.divE1) && given.divE1 > 0 ? given.divE1 : 1.0f;
    p.divE2 = std::isfinite(given.divE2) && given.divE2 > 0 ? given.divE2 : 1.0f;
    std::lock_guard<std::mutex> guard(s_lock);
    s_params = p;
}

float Compass::heading(const Params &p, double x, double y)
{
    x -= p.meanX;
    y -= p.meanY;
    // Into the ellipse's axes, rescaled to a circle, and back.
    const double u = (p.w1 * x + p.w2 * y) / p.divE1;
    const double v = (-p.w2 * x + p.w1 * y) / p.divE2;
    const double cx = p.w1 * u - p.w2 * v;
    const double cy = p.w2 * u + p.w1 * v;
    double degrees = std::atan2(cy, cx) * 180.0 / Pi;
    if (degrees < 0)
        degrees += 360.0;
    float result = static_cast<float>(degrees);
    // A tiny negative angle, once added to 360, can round up to 360 itself.
    if (result >= 360.0f)
        result = 0.0f;
    return result;
}

std::optional<Compass::Params> Compass::fit(const std::vector<Reading> &readings)
{
    const std::size_t n = readings.size();
    if (n < 10)
        return std::nullopt;

    // Centre and scale the readings so that the conic fit is well conditioned
    // whatever the raw magnitudes.
    double mx = 0, my = 0, mz = 0;
    for (const Reading &r : readings) {
        mx += r.x;
        my += r.y;
        mz += r.z;
    }
    mx /= n;
    my /= n;
    mz /= n;
    double spread = 0;
    for (const Reading &r : readings)
        spread += (r.x - mx) * (r.x - mx) + (r.y - my) * (r.y - my);
    spread = std::sqrt(spread / n);
    if (!(spread > 1e-9))
        return std::nullopt;

    // Least squares of A p^2 + B pq + C q^2 + D p + E q = 1.
    std::array<std::array<double, 6>, 5> normal{};
    for (const Reading &r : readings) {
        const double p = (r.x - mx) / spread, q = (r.y - my) / spread;
        const double row[5] = {p * p, p * q, q * q, p, q};
        for (int i = 0; i < 5; ++i) {
            for (int j = 0; j < 5; ++j)
                normal[i][j] += row[i] * row[j];
            normal[i][5] += row[i];
        }
    }
    std::array<double, 5> c{};
    if (!solve5(normal, c))
        return std::nullopt;
    const double A = c[0], B = c[1], C = c[2], D = c[3], E = c[4];

    const double det = 4 * A * C - B * B;
    if (!(det > 1e-12))
        return std::nullopt; // not an ellipse
    const double p0 = (-2 * C * D + B * E) / det;
    const double q0 = (-2 * A * E + B * D) / det;
    const double K = 1 - (A * p0 * p0 + B * p0 * q0 + C * q0 * q0 + D * p0 + E * q0);

    const double half = std::sqrt((A - C) * (A - C) / 4 + B * B / 4);
    const double lambdaMax = (A + C) / 2 + half, lambdaMin = (A + C) / 2 - half;
    if (!(K > 0) || !(lambdaMin > 0))
        return std::nullopt;
    const double major = std::sqrt(K / lambdaMin), minor = std::sqrt(K / lambdaMax);
    if (minor / major < MinAxisRatio)
        return std::nullopt;

    // The eigenvector of the larger eigenvalue lies at theta; the major axis
    // (smaller eigenvalue) is perpendicular to it.
    const double theta = 0.5 * std::atan2(B, A - C);
    double w1 = -std::sin(theta), w2 = std::cos(theta);
    if (w1 < 0 || (w1 == 0 && w2 < 0)) {
        w1 = -w1;
        w2 = -w2;
    }

    std::array<bool, Sectors> hit{};
    double rimError = 0;
    for (const Reading &r : readings) {
        const double u = (r.x - mx) / spread - p0, v = (r.y - my) / spread - q0;
        const double sector = (std::atan2(v, u) + Pi) / (2 * Pi) * Sectors;
        hit[static_cast<std::size_t>(std::fmin(sector, Sectors - 1))] = true;
        const double level = (A * u * u + B * u * v + C * v * v) / K;
        const double e = std::sqrt(std::fmax(level, 0.0)) - 1;
        rimError += e * e;
    }
    int sectorsHit = 0;
    for (bool h : hit)
        sectorsHit += h ? 1 : 0;
    if (sectorsHit < MinSectorsHit || std::sqrt(rimError / n) > MaxRimError)
        return std::nullopt;

    // Divisors relative to the mean radius keep corrected readings at the
    // field's usual size; only their ratio matters to the heading.
    const double radius = std::sqrt(major * minor);
    Params p;
    p.meanX = static_cast<float>(mx + p0 * spread);
    p.meanY = static_cast<float>(my + q0 * spread);
    p.meanZ = static_cast<float>(mz);
    p.w1 = static_cast<float>(w1);
    p.w2 = static_cast<float>(w2);
    p.divE1 = static_cast<float>(major / radius);
    p.divE2 = static_cast<float>(minor / radius);
    return p;
}
