// Reading a world file: a page of JSON, checked key by key, every mistake
// reported with the file, its place and what was expected.
#include "world/world.h"

#include "model/angles.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

using nlohmann::json;

// A world file is a page of hand-written JSON: anything far beyond these is a
// mistake (a generated blob, the wrong file), refused before parsing.
constexpr std::size_t MaxFileBytes = 1 << 20;
constexpr std::size_t MaxLineBytes = 4096;
// A floor beyond a kilometre would only slow the plot and the sensors.
constexpr double MaxFieldMetres = 1000;
// The format nests five deep (robot.camera.configs.NAME[n]); the parser's
// own limit is the stack, which a page of brackets exhausts long before the
// size limit.
constexpr int MaxDepth = 32;
// What a message quotes of the file: a value, a key, and the whole line.
constexpr std::size_t MaxQuoted = 40;
constexpr std::size_t MaxMessage = 300;

// `text` cut to `limit` bytes with "..." at the end, never inside a UTF-8
// sequence.
std::string shortened(const std::string &text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t end = limit - 3;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end) + "...";
}

// A key as JSON writes it, control characters escaped, shortened; `quoted`
// keeps the quotes around it.
std::string keyText(const std::string &key, bool quoted = true)
{
    std::string text = nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (!quoted)
        text = text.substr(1, text.size() - 2);
    return shortened(text, MaxQuoted);
}

struct TooDeep
{
};

// A mistake at a place in the document; `where` is the field's path.
struct Bad : std::runtime_error
{
    Bad(const std::string &where, const std::string &what) : std::runtime_error(where + ": " + what) {}
};

std::string describe(const json &value)
{
    return shortened(value.dump(-1, ' ', false, json::error_handler_t::replace), MaxQuoted);
}

double number(const json &value, const std::string &where, double low, double high)
{
    if (!value.is_number())
        throw Bad(where, "must be a number, not " + describe(value));
    const double v = value.get<double>();
    if (!std::isfinite(v) || v < low || v > high) {
        std::ostringstream range;
        range << "must be " << low << " to " << high << ", not " << describe(value);
        throw Bad(where, range.str());
    }
    return v;
}

// A number above zero, at most `high`.
double positive(const json &value, const std::string &where, double high)
{
    const double v = number(value, where, 0, high);
    if (v <= 0)
        throw Bad(where, "must be more than 0, not " + describe(value));
    return v;
}

int integer(const json &value, const std::string &where, int low, int high)
{
    if (!value.is_number_integer() || value.get<long long>() < low || value.get<long long>() > high)
        throw Bad(where, "must be a whole number " + std::to_string(low) + "-" + std::to_string(high) + ", not "
                             + describe(value));
    return value.get<int>();
}

const json &member(const json &object, const char *key, const std::string &where)
{
    if (!object.is_object())
        throw Bad(where, "must be an object, not " + describe(object));
    const auto found = object.find(key);
    if (found == object.end())
        throw Bad(where, std::string("missing \"") + key + "\"");
    return *found;
}

const json *optional(const json &object, const char *key)
{
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// Every object names only the keys this format knows: a misspelt key would
// otherwise silently fall back to its default.
void onlyKeys(const json &object, const std::string &where, std::initializer_list<const char *> keys)
{
    if (!object.is_object())
        throw Bad(where, "must be an object, not " + describe(object));
    for (auto it = object.begin(); it != object.end(); ++it)
        if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return it.key() == k; })) {
            std::string known;
            for (const char *k : keys)
                known += std::string(known.empty() ? "" : " ") + k;
            throw Bad(where, "unknown key " + keyText(it.key()) + " (" + known + ")");
        }
}

const json &array(const json &value, const std::string &where, std::size_t count = 0)
{
    if (!value.is_array())
        throw Bad(where, "must be a list, not " + describe(value));
    if (count && value.size() != count)
        throw Bad(where, "must have " + std::to_string(count) + " numbers, not " + std::to_string(value.size()));
    return value;
}

struct Reader
{
    World &world;

    double coordinate(const json &value, const std::string &where, bool alongX) const
    {
        return number(value, where, 0, alongX ? world.width : world.height);
    }

    Point point(const json &value, const std::string &where) const
    {
        array(value, where, 2);
        return {coordinate(value[0], where + "[0]", true), coordinate(value[1], where + "[1]", false)};
    }

    Rect rect(const json &value, const std::string &where) const
    {
        array(value, where, 4);
        Rect r{coordinate(value[0], where + "[0]", true), coordinate(value[1], where + "[1]", false),
               coordinate(value[2], where + "[2]", true), coordinate(value[3], where + "[3]", false)};
        if (r.x0 > r.x1)
            std::swap(r.x0, r.x1);
        if (r.y0 > r.y1)
            std::swap(r.y0, r.y1);
        return r;
    }

    void field(const json &root)
    {
        const json &f = member(root, "field", "top level");
        onlyKeys(f, "field", {"width", "height", "reflectance", "border"});
        world.width = number(member(f, "width", "field"), "field.width", 0.1, MaxFieldMetres);
        world.height = number(member(f, "height", "field"), "field.height", 0.1, MaxFieldMetres);
        if (const json *r = optional(f, "reflectance"))
            world.floorReflectance = number(*r, "field.reflectance", 0, 1);
        const json *border = optional(f, "border");
        if (border && !border->is_boolean())
            throw Bad("field.border", "must be true or false, not " + describe(*border));
        if (border && border->get<bool>()) {
            const Point c[4] = {{0, 0}, {world.width, 0}, {world.width, world.height}, {0, world.height}};
            for (int k = 0; k < 4; ++k)
                world.walls.push_back({c[k], c[(k + 1) % 4]});
        }
    }

    void marks(const json &list)
    {
        array(list, "marks");
        for (std::size_t n = 0; n < list.size(); ++n) {
            const std::string where = "marks[" + std::to_string(n) + "]";
            const json &m = list[n];
            onlyKeys(m, where, {"line", "closed", "width", "area", "reflectance"});
            Mark mark;
            if (const json *line = optional(m, "line")) {
                array(*line, where + ".line");
                if (line->size() < 2)
                    throw Bad(where + ".line", "needs at least two points");
                for (std::size_t k = 0; k < line->size(); ++k)
                    mark.points.push_back(point((*line)[k], where + ".line[" + std::to_string(k) + "]"));
                if (const json *closed = optional(m, "closed")) {
                    if (!closed->is_boolean())
                        throw Bad(where + ".closed", "must be true or false, not " + describe(*closed));
                    mark.closed = closed->get<bool>();
                }
                if (const json *w = optional(m, "width"))
                    mark.width = number(*w, where + ".width", 0.001, 1);
            } else if (const json *area = optional(m, "area")) {
                mark.kind = Mark::Kind::Area;
                mark.area = rect(*area, where + ".area");
            } else {
                throw Bad(where, "needs \"line\" or \"area\"");
            }
            mark.reflectance = number(member(m, "reflectance", where), where + ".reflectance", 0, 1);
            world.marks.push_back(std::move(mark));
        }
    }

    void walls(const json &list)
    {
        array(list, "walls");
        for (std::size_t n = 0; n < list.size(); ++n) {
            const std::string where = "walls[" + std::to_string(n) + "]";
            array(list[n], where, 4);
            world.walls.push_back({point(json::array({list[n][0], list[n][1]}), where),
                                   point(json::array({list[n][2], list[n][3]}), where)});
        }
    }

    void boxes(const json &list)
    {
        array(list, "boxes");
        for (std::size_t n = 0; n < list.size(); ++n)
            world.boxes.push_back(rect(list[n], "boxes[" + std::to_string(n) + "]"));
    }

    static std::array<int, 3> colour(const json &value, const std::string &where)
    {
        const std::string text = value.is_string() ? value.get<std::string>() : "";
        if (text.size() != 7 || text[0] != '#' || text.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos)
            throw Bad(where, "must be \"#rrggbb\", not " + describe(value));
        std::array<int, 3> rgb{};
        for (int k = 0; k < 3; ++k)
            rgb[std::size_t(k)] = std::stoi(text.substr(1 + 2 * std::size_t(k), 2), nullptr, 16);
        return rgb;
    }

    void pieces(const json &list)
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

    // Two pieces overlap when their footprints do; boxes are taken by the
    // circles around them only when both are discs or the circles are apart.
    static bool overlap(const Piece &a, const Piece &b)
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

    void realism(const json &r)
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

    void zones(const json &list)
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

    void objects(const json &list)
    {
        array(list, "objects");
        for (std::size_t n = 0; n < list.size(); ++n) {
            const std::string where = "objects[" + std::to_string(n) + "]";
            const json &o = list[n];
            onlyKeys(o, where, {"box", "colour", "height"});
            ColouredObject object;
            object.box = rect(member(o, "box", where), where + ".box");
            object.rgb = colour(member(o, "colour", where), where + ".colour");
            if (const json *h = optional(o, "height"))
                object.height = number(*h, where + ".height", 0.001, 10);
            world.objects.push_back(object);
        }
    }

    void touchSwitches(const json &list)
    {
        array(list, "robot.touch_switches");
        for (std::size_t n = 0; n < list.size(); ++n) {
            const std::string where = "robot.touch_switches[" + std::to_string(n) + "]";
            const json &t = list[n];
            onlyKeys(t, where, {"port", "angle_deg", "spread_deg", "claw"});
            RobotDescription::Touch touch{integer(member(t, "port", where), where + ".port", 0, 15)};
            if (const json *a = optional(t, "angle_deg"))
                touch.angleDeg = number(*a, where + ".angle_deg", -360, 360);
            if (const json *w = optional(t, "spread_deg"))
                touch.spreadDeg = number(*w, where + ".spread_deg", 1, 360);
            if (const json *c = optional(t, "claw")) {
                if (!c->is_boolean())
                    throw Bad(where + ".claw", "must be true or false, not " + describe(*c));
                touch.claw = c->get<bool>();
            }
            world.robot.touchSwitches.push_back(touch);
        }
    }

    void mechanisms(const json &list)
    {
        array(list, "robot.mechanisms");
        for (std::size_t n = 0; n < list.size(); ++n) {
            const std::string where = "robot.mechanisms[" + std::to_string(n) + "]";
            const json &m = list[n];
            Mechanism mechanism;
            const json &type = member(m, "type", where);
            const auto position = [&](const char *key, double &value) {
                if (const json *v = optional(m, key))
                    value = number(*v, where + "." + key, 0, 1023);
            };
            const auto length = [&](const char *key, double &value, double low, double high) {
                if (const json *v = optional(m, key))
                    value = number(*v, where + "." + key, low, high);
            };
            if (type == "claw") {
                mechanism.kind = Mechanism::Kind::Claw;
                onlyKeys(m, where, {"type", "servo", "x", "y", "open_position", "closed_position", "open_width",
                                    "closed_width", "depth"});
                mechanism.at = {world.robot.radius + 0.01, 0};
                position("open_position", mechanism.openPosition);
                position("closed_position", mechanism.closedPosition);
                length("open_width", mechanism.openWidth, 0.005, 1);
                length("closed_width", mechanism.closedWidth, 0, 1);
                length("depth", mechanism.depth, 0.005, 1);
                if (mechanism.closedWidth >= mechanism.openWidth)
                    throw Bad(where + ".closed_width", "must be less than open_width");
                if (mechanism.openPosition == mechanism.closedPosition)
                    throw Bad(where + ".closed_position", "must differ from open_position");
            } else if (type == "arm") {
                mechanism.kind = Mechanism::Kind::Arm;
                onlyKeys(m, where, {"type", "servo", "down_position", "up_position", "lift"});
                position("down_position", mechanism.downPosition);
                position("up_position", mechanism.upPosition);
                length("lift", mechanism.lift, 0.01, 2);
                if (mechanism.downPosition == mechanism.upPosition)
                    throw Bad(where + ".up_position", "must differ from down_position");
            } else if (type == "paddle") {
                mechanism.kind = Mechanism::Kind::Paddle;
                onlyKeys(m, where, {"type", "servo", "x", "y", "length", "from_deg", "to_deg"});
                mechanism.at = {0, world.robot.radius};
                length("length", mechanism.length, 0.01, 2);
                length("from_deg", mechanism.fromDeg, -360, 360);
                length("to_deg", mechanism.toDeg, -360, 360);
            } else {
                throw Bad(where + ".type", "must be \"claw\", \"arm\" or \"paddle\", not " + describe(type));
            }
            if (const json *x = optional(m, "x"))
                mechanism.at.x = number(*x, where + ".x", -1, 1);
            if (const json *y = optional(m, "y"))
                mechanism.at.y = number(*y, where + ".y", -1, 1);
            mechanism.servo = integer(member(m, "servo", where), where + ".servo", 0, 3);
            for (const Mechanism &other : world.robot.mechanisms) {
                if (other.servo == mechanism.servo)
                    throw Bad(where + ".servo", "servo " + std::to_string(mechanism.servo) + " moves another mechanism already");
                if (other.kind == mechanism.kind)
                    throw Bad(where + ".type", "the robot has one " + type.get<std::string>() + " already");
            }
            world.robot.mechanisms.push_back(mechanism);
        }
        const bool claw = std::any_of(world.robot.mechanisms.begin(), world.robot.mechanisms.end(),
                                      [](const Mechanism &m) { return m.kind == Mechanism::Kind::Claw; });
        for (const Mechanism &m : world.robot.mechanisms)
            if (m.kind == Mechanism::Kind::Arm && !claw)
                throw Bad("robot.mechanisms", "an arm lifts the claw: the robot needs a claw too");
    }

    Point offset(const json &sensor, const std::string &where) const
    {
        Point p;
        if (const json *x = optional(sensor, "x"))
            p.x = number(*x, where + ".x", -1, 1);
        if (const json *y = optional(sensor, "y"))
            p.y = number(*y, where + ".y", -1, 1);
        return p;
    }

    void camera(const json &c)
    {
        const std::string where = "robot.camera";
        onlyKeys(c, where, {"x", "y", "height", "yaw_deg", "pitch_deg", "fov_deg", "fps", "configs"});
        CameraDescription described;
        const Point mount = offset(c, where);
        described.x = mount.x;
        described.y = mount.y;
        if (const json *h = optional(c, "height"))
            described.height = number(*h, where + ".height", 0.001, 10);
        if (const json *yaw = optional(c, "yaw_deg"))
            described.yawDeg = number(*yaw, where + ".yaw_deg", -360, 360);
        // Straight up or down the picture has no horizon to turn about.
        if (const json *pitch = optional(c, "pitch_deg"))
            described.pitchDeg = number(*pitch, where + ".pitch_deg", -89, 89);
        if (const json *fov = optional(c, "fov_deg"))
            described.fieldOfViewDeg = number(*fov, where + ".fov_deg", 1, 170);
        if (const json *fps = optional(c, "fps"))
            described.framesPerSecond = number(*fps, where + ".fps", 1, 120);
        if (const json *configs = optional(c, "configs")) {
            if (!configs->is_object())
                throw Bad(where + ".configs", "must be an object of name: [lines], not " + describe(*configs));
            for (auto it = configs->begin(); it != configs->end(); ++it) {
                // The name becomes a file name in the camera's folder.
                if (it.key().empty() || it.key().size() > 64
                    || it.key().find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-")
                           != std::string::npos)
                    throw Bad(where + ".configs." + keyText(it.key(), false),
                              "a configuration name is 1-64 letters, digits, '_' or '-'");
                const std::string at = where + ".configs." + it.key();
                array(it.value(), at);
                std::vector<std::string> &lines = described.configs[it.key()];
                for (std::size_t n = 0; n < it.value().size(); ++n) {
                    const json &line = it.value()[n];
                    if (!line.is_string() || line.get<std::string>().find_first_of("\r\n") != std::string::npos)
                        throw Bad(at + "[" + std::to_string(n) + "]", "must be one line of text, not " + describe(line));
                    lines.push_back(it.value()[n].get<std::string>());
                }
            }
        }
        world.robot.camera = described;
    }

    void robot(const json &r)
    {
        RobotDescription &described = world.robot;
        onlyKeys(r, "robot", {"start", "left_motor", "right_motor", "ticks_per_revolution", "wheel_diameter",
                              "track_width", "radius", "reflectance_sensors", "distance_sensors", "bump_switch",
                              "camera", "magnetometer_offset", "mass", "stall_torque", "tyre_friction",
                              "touch_switches", "mechanisms"});
        if (const json *start = optional(r, "start")) {
            onlyKeys(*start, "robot.start", {"x", "y", "heading_deg"});
            described.start.x = coordinate(member(*start, "x", "robot.start"), "robot.start.x", true);
            described.start.y = coordinate(member(*start, "y", "robot.start"), "robot.start.y", false);
            if (const json *h = optional(*start, "heading_deg"))
                described.start.headingDeg = number(*h, "robot.start.heading_deg", -360, 360);
        }
        if (const json *m = optional(r, "left_motor"))
            described.leftMotor = integer(*m, "robot.left_motor", 0, 3);
        if (const json *m = optional(r, "right_motor"))
            described.rightMotor = integer(*m, "robot.right_motor", 0, 3);
        if (described.leftMotor == described.rightMotor)
            throw Bad("robot.right_motor", "must differ from left_motor");
        if (const json *t = optional(r, "ticks_per_revolution"))
            described.ticksPerRevolution = number(*t, "robot.ticks_per_revolution", 1, 1e6);
        if (const json *d = optional(r, "wheel_diameter"))
            described.wheelDiameter = number(*d, "robot.wheel_diameter", 0.005, 1);
        if (const json *t = optional(r, "track_width"))
            described.trackWidth = number(*t, "robot.track_width", 0.01, 2);
        if (const json *radius = optional(r, "radius"))
            described.radius = number(*radius, "robot.radius", 0.01, 2);
        if (const json *m = optional(r, "mass"))
            described.mass = positive(*m, "robot.mass", 100);
        if (const json *t = optional(r, "stall_torque"))
            described.stallTorque = positive(*t, "robot.stall_torque", 100);
        if (const json *f = optional(r, "tyre_friction"))
            described.tyreFriction = positive(*f, "robot.tyre_friction", 10);
        if (const json *list = optional(r, "reflectance_sensors")) {
            array(*list, "robot.reflectance_sensors");
            for (std::size_t n = 0; n < list->size(); ++n) {
                const std::string where = "robot.reflectance_sensors[" + std::to_string(n) + "]";
                onlyKeys((*list)[n], where, {"port", "x", "y"});
                described.reflectanceSensors.push_back(
                    {integer(member((*list)[n], "port", where), where + ".port", 0, 5), offset((*list)[n], where)});
            }
        }
        if (const json *list = optional(r, "distance_sensors")) {
            array(*list, "robot.distance_sensors");
            for (std::size_t n = 0; n < list->size(); ++n) {
                const std::string where = "robot.distance_sensors[" + std::to_string(n) + "]";
                const json &s = (*list)[n];
                onlyKeys(s, where, {"port", "x", "y", "angle_deg", "beam_deg", "height"});
                RobotDescription::Distance sensor{integer(member(s, "port", where), where + ".port", 0, 5),
                                                  offset(s, where), 0};
                if (const json *angle = optional(s, "angle_deg"))
                    sensor.angleDeg = number(*angle, where + ".angle_deg", -360, 360);
                if (const json *beam = optional(s, "beam_deg"))
                    sensor.beamDeg = number(*beam, where + ".beam_deg", 0, 90);
                if (const json *h = optional(s, "height"))
                    sensor.height = number(*h, where + ".height", 0, 1);
                described.distanceSensors.push_back(sensor);
            }
        }
        if (const json *bump = optional(r, "bump_switch")) {
            onlyKeys(*bump, "robot.bump_switch", {"port"});
            described.bumpPort = integer(member(*bump, "port", "robot.bump_switch"), "robot.bump_switch.port", 0, 15);
        }
        if (const json *list = optional(r, "touch_switches"))
            touchSwitches(*list);
        if (const json *list = optional(r, "mechanisms"))
            mechanisms(*list);
        if (const json *c = optional(r, "camera"))
            camera(*c);
        if (const json *o = optional(r, "magnetometer_offset")) {
            if (!o->is_array() || o->size() != 2)
                throw Bad("robot.magnetometer_offset", "must be [x, y] in the magnetometer's counts");
            described.magnetometerOffsetX = number((*o)[0], "robot.magnetometer_offset[0]", -2000, 2000);
            described.magnetometerOffsetY = number((*o)[1], "robot.magnetometer_offset[1]", -2000, 2000);
        }
        std::vector<int> digitalPorts;
        if (described.bumpPort)
            digitalPorts.push_back(*described.bumpPort);
        for (const auto &t : described.touchSwitches)
            digitalPorts.push_back(t.port);
        std::sort(digitalPorts.begin(), digitalPorts.end());
        if (std::adjacent_find(digitalPorts.begin(), digitalPorts.end()) != digitalPorts.end())
            throw Bad("robot", "two switches on one digital pin");
        const bool claw = std::any_of(described.mechanisms.begin(), described.mechanisms.end(),
                                      [](const Mechanism &m) { return m.kind == Mechanism::Kind::Claw; });
        for (const auto &t : described.touchSwitches)
            if (t.claw && !claw)
                throw Bad("robot.touch_switches", "a switch in the claw needs a claw among the mechanisms");
        std::vector<int> analogPorts;
        for (const auto &s : described.reflectanceSensors)
            analogPorts.push_back(s.port);
        for (const auto &s : described.distanceSensors)
            analogPorts.push_back(s.port);
        std::sort(analogPorts.begin(), analogPorts.end());
        if (std::adjacent_find(analogPorts.begin(), analogPorts.end()) != analogPorts.end())
            throw Bad("robot", "two sensors on one analog port");
    }

    void read(const json &root)
    {
        onlyKeys(root, "top level",
                 {"field", "marks", "walls", "boxes", "objects", "pieces", "zones", "robot", "realism"});
        field(root);
        world.robot.start = {world.width / 2, world.height / 2, 0};
        if (const json *list = optional(root, "marks"))
            marks(*list);
        if (const json *list = optional(root, "walls"))
            walls(*list);
        if (const json *list = optional(root, "boxes"))
            boxes(*list);
        if (const json *list = optional(root, "objects"))
            objects(*list);
        if (const json *r = optional(root, "robot"))
            robot(*r);
        if (const json *list = optional(root, "zones"))
            zones(*list);
        if (const json *r = optional(root, "realism"))
            realism(*r);
        if (const json *list = optional(root, "pieces"))
            pieces(*list);
    }
};

std::string position(const std::string &text, std::size_t byte)
{
    std::size_t line = 1, column = 1;
    for (std::size_t k = 0; k < byte && k < text.size(); ++k) {
        if (text[k] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return std::to_string(line) + ":" + std::to_string(column);
}

} // namespace

bool parseWorld(const std::string &text, const std::string &name, World &world, std::string &error)
{
    if (text.size() > MaxFileBytes) {
        error = name + ": larger than " + std::to_string(MaxFileBytes) + " bytes";
        return false;
    }
    std::size_t line = 1, start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (end - start > MaxLineBytes) {
            error = name + ":" + std::to_string(line) + ": line longer than " + std::to_string(MaxLineBytes)
                  + " bytes";
            return false;
        }
        if (end >= text.size())
            break;
        start = end + 1;
        ++line;
    }
    json root;
    // The parser calls back at every value with its depth.
    const json::parser_callback_t depthLimit = [](int depth, json::parse_event_t, json &) {
        if (depth > MaxDepth)
            throw TooDeep{};
        return true;
    };
    try {
        root = json::parse(text, depthLimit);
    } catch (const TooDeep &) {
        error = name + ": nested deeper than " + std::to_string(MaxDepth) + " lists and objects";
        return false;
    } catch (const json::parse_error &e) {
        // The library's message starts with its own tag and position; ours
        // gives the position in the usual line:column form.
        std::string what = e.what();
        const std::size_t colon = what.find(": ", what.find("parse error"));
        what = colon == std::string::npos ? what : what.substr(colon + 2);
        error = shortened(name + ":" + position(text, e.byte ? e.byte - 1 : 0) + ": not JSON: " + what, MaxMessage);
        return false;
    } catch (const json::exception &e) {
        // A number beyond a double's range (1e309) is the parser's one other
        // refusal; it names the number but not its place.
        std::string what = e.what();
        const std::size_t quote = what.find('\'');
        const std::string number = quote == std::string::npos ? "" : what.substr(quote + 1, what.rfind('\'') - quote - 1);
        const std::size_t at = number.empty() ? std::string::npos : text.find(number);
        error = shortened(name + (at == std::string::npos ? "" : ":" + position(text, at)) + ": number out of range "
                              + (number.empty() ? what : number),
                          MaxMessage);
        return false;
    }
    World loaded;
    loaded.path = name;
    try {
        Reader{loaded}.read(root);
    } catch (const Bad &e) {
        error = shortened(name + ": " + e.what(), MaxMessage);
        return false;
    } catch (const std::exception &e) {
        error = shortened(name + ": " + e.what(), MaxMessage);
        return false;
    }
    world = std::move(loaded);
    return true;
}

bool loadWorld(const std::string &path, World &world, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read world " + path + ": " + std::strerror(errno);
        return false;
    }
    // The file is read twice, by the launcher and by the program: a pipe
    // would be empty the second time, and a device is no world.
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "cannot read world " + path + ": "
              + (S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file");
        ::close(fd);
        return false;
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = "cannot read world " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        text.append(chunk, std::size_t(got));
        if (text.size() > MaxFileBytes)
            break; // parseWorld refuses it
    }
    ::close(fd);
    return parseWorld(text, path, world, error);
}

} // namespace kxsim
