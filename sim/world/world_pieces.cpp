// The world file's pieces, zones and realism.
#include "world/world_reader.h"

#include "model/angles.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace kxsim {
namespace reading {

std::array<int, 3> Reader::colour(const json &value, const std::string &where)
{
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (text.size() != 7 || text[0] != '#' || text.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos)
        throw Bad(where, "must be \"#rrggbb\", not " + describe(value));
    std::array<int, 3> rgb{};
    for (int k = 0; k < 3; ++k)
        rgb[std::size_t(k)] = std::stoi(text.substr(1 + 2 * std::size_t(k), 2), nullptr, 16);
    return rgb;
}

void Reader::pieces(const json &list)
{
    array(list, "pieces");
    if (list.size() > MaxPieces)
        throw Bad("pieces", "holds " + std::to_string(list.size()) + " pieces; at most " + std::to_string(MaxPieces));
    for (std::size_t n = 0; n < list.size(); ++n) {
        const std::string where = "pieces[" + std::to_string(n) + "]";
        const json &p = list[n];
        onlyKeys(p, where, {"shape", "x", "y", "heading_deg", "length", "width", "radius", "mass", "friction",
                            "colour", "height", "name"});
        Piece piece;
        const json &shape = member(p, "shape", where);
        if (shape == "box")
            piece.shape = Piece::Shape::Box;
        else if (shape == "disc")
            piece.shape = Piece::Shape::Disc;
        else
            throw Bad(where + ".shape", "must be \"box\" or \"disc\", not " + describe(shape));
        piece.start.x = coordinate(member(p, "x", where), where + ".x", true);
        piece.start.y = coordinate(member(p, "y", where), where + ".y", false);
        if (const json *h = optional(p, "heading_deg"))
            piece.start.headingDeg = number(*h, where + ".heading_deg", -360, 360);
        const bool box = piece.shape == Piece::Shape::Box;
        for (const char *key : {"length", "width", "radius"})
            if (optional(p, key) && (std::string(key) == "radius") == box)
                throw Bad(where + "." + key, std::string("is not a size of a ") + (box ? "box" : "disc"));
        if (const json *l = optional(p, "length"))
            piece.length = number(*l, where + ".length", 0.005, 2);
        if (const json *w = optional(p, "width"))
            piece.width = number(*w, where + ".width", 0.005, 2);
        if (const json *r = optional(p, "radius"))
            piece.radius = number(*r, where + ".radius", 0.0025, 1);
        // Zero or less would be a piece that nothing can move or that
        // never stops: refused with the rest of the bad numbers.
        if (const json *m = optional(p, "mass"))
            piece.mass = positive(*m, where + ".mass", 1000);
        if (const json *f = optional(p, "friction"))
            piece.friction = positive(*f, where + ".friction", 10);
        if (const json *h = optional(p, "height"))
            piece.height = number(*h, where + ".height", 0.001, 10);
        if (const json *c = optional(p, "colour"))
            piece.rgb = colour(*c, where + ".colour");
        if (const json *name = optional(p, "name")) {
            if (!name->is_string() || name->get<std::string>().size() > 64)
                throw Bad(where + ".name", "must be a text of at most 64 characters");
            piece.name = name->get<std::string>();
        }
        const double reach = box ? std::hypot(piece.length, piece.width) / 2 : piece.radius;
        if (piece.start.x - reach < 0 || piece.start.x + reach > world.width || piece.start.y - reach < 0
            || piece.start.y + reach > world.height)
            throw Bad(where, "lies partly outside the field");
        for (std::size_t k = 0; k < n; ++k)
            if (overlap(world.pieces[k], piece))
                throw Bad(where, "overlaps pieces[" + std::to_string(k) + "] at the start");
        world.pieces.push_back(std::move(piece));
    }
}

bool Reader::overlap(const Piece &a, const Piece &b)
{
    auto corners = [](const Piece &p) {
        std::vector<Point> c;
        if (p.shape == Piece::Shape::Disc) {
            for (int k = 0; k < 16; ++k)
                c.push_back({p.start.x + p.radius * std::cos(k * Pi / 8), p.start.y + p.radius * std::sin(k * Pi / 8)});
            return c;
        }
        const double h = p.start.headingDeg * Pi / 180, ch = std::cos(h), sh = std::sin(h);
        for (const auto &[u, v] : {std::pair{1, 1}, std::pair{-1, 1}, std::pair{-1, -1}, std::pair{1, -1}})
            c.push_back({p.start.x + u * p.length / 2 * ch - v * p.width / 2 * sh,
                         p.start.y + u * p.length / 2 * sh + v * p.width / 2 * ch});
        return c;
    };
    if (a.shape == Piece::Shape::Disc && b.shape == Piece::Shape::Disc)
        return std::hypot(a.start.x - b.start.x, a.start.y - b.start.y) < a.radius + b.radius;
    // Separating axes of the two convex outlines (a disc as a 16-gon).
    const std::vector<Point> pa = corners(a), pb = corners(b);
    for (const std::vector<Point> *poly : {&pa, &pb})
        for (std::size_t k = 0; k < poly->size(); ++k) {
            const Point e0 = (*poly)[k], e1 = (*poly)[(k + 1) % poly->size()];
            const double nx = e0.y - e1.y, ny = e1.x - e0.x;
            auto span = [&](const std::vector<Point> &q) {
                double lo = 1e300, hi = -1e300;
                for (const Point &p : q) {
                    const double d = p.x * nx + p.y * ny;
                    lo = std::min(lo, d);
                    hi = std::max(hi, d);
                }
                return std::pair{lo, hi};
            };
            const auto [la, ha] = span(pa);
            const auto [lb, hb] = span(pb);
            if (ha <= lb || hb <= la)
                return false;
        }
    return true;
}

void Reader::realism(const json &r)
{
    Realism &described = world.realism;
    if (r.is_boolean()) {
        described.on = r.get<bool>();
        return;
    }
    if (!r.is_object())
        throw Bad("realism", "must be true, false or an object of amounts, not " + describe(r));
    onlyKeys(r, "realism", {"analog_noise", "gyro_bias_dps", "gyro_drift_dps", "wheel_spread", "motor_spread",
                            "battery_sag"});
    described.on = true;
    const auto amount = [&](const char *key, double &value, double high) {
        if (const json *v = optional(r, key))
            value = number(*v, std::string("realism.") + key, 0, high);
    };
    amount("analog_noise", described.analogNoise, 500);
    amount("gyro_bias_dps", described.gyroBiasDps, 100);
    amount("gyro_drift_dps", described.gyroDriftDps, 100);
    amount("wheel_spread", described.wheelSpread, 0.5);
    amount("motor_spread", described.motorSpread, 0.5);
    amount("battery_sag", described.batterySag, 0.9);
}

void Reader::zones(const json &list)
{
    array(list, "zones");
    for (std::size_t n = 0; n < list.size(); ++n) {
        const std::string where = "zones[" + std::to_string(n) + "]";
        const json &z = list[n];
        onlyKeys(z, where, {"name", "area", "polygon", "reflectance", "colour"});
        Zone zone;
        const json &name = member(z, "name", where);
        if (!name.is_string() || name.get<std::string>().empty() || name.get<std::string>().size() > 64)
            throw Bad(where + ".name", "must be a text of 1 to 64 characters");
        zone.name = name.get<std::string>();
        for (const Zone &other : world.zones)
            if (other.name == zone.name)
                throw Bad(where + ".name", "names another zone already: \"" + zone.name + "\"");
        if (const json *area = optional(z, "area")) {
            const Rect r = rect(*area, where + ".area");
            zone.polygon = {{r.x0, r.y0}, {r.x1, r.y0}, {r.x1, r.y1}, {r.x0, r.y1}};
        } else if (const json *polygon = optional(z, "polygon")) {
            array(*polygon, where + ".polygon");
            if (polygon->size() < 3)
                throw Bad(where + ".polygon", "needs at least three corners");
            for (std::size_t k = 0; k < polygon->size(); ++k)
                zone.polygon.push_back(point((*polygon)[k], where + ".polygon[" + std::to_string(k) + "]"));
        } else {
            throw Bad(where, "needs \"area\" or \"polygon\"");
        }
        if (const json *r = optional(z, "reflectance"))
            zone.reflectance = number(*r, where + ".reflectance", 0, 1);
        if (const json *c = optional(z, "colour"))
            zone.rgb = colour(*c, where + ".colour");
        world.zones.push_back(std::move(zone));
    }
}

} // namespace reading
} // namespace kxsim
