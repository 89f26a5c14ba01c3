// Reading a world file, shared by the pieces of the reader: the limits, the
// checks of single values, and the reader of the document's parts
// (world_file.cpp: the document and the field; world_pieces.cpp: pieces,
// zones and realism; world_robot.cpp: the robot). Private to world/.
#ifndef KESTRIX_SIM_WORLD_READER_H
#define KESTRIX_SIM_WORLD_READER_H

#include "world/world.h"

#include <nlohmann/json.hpp>

#include <array>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kxsim {
namespace reading {

using nlohmann::json;

// A world file is a page of hand-written JSON: anything far beyond these is a
// mistake (a generated blob, the wrong file), refused before parsing.
inline constexpr std::size_t MaxFileBytes = 1 << 20;
inline constexpr std::size_t MaxLineBytes = 4096;
// A floor beyond a kilometre would only slow the plot and the sensors.
inline constexpr double MaxFieldMetres = 1000;
// The format nests five deep (robot.camera.configs.NAME[n]); the parser's
// own limit is the stack, which a page of brackets exhausts long before the
// size limit.
inline constexpr int MaxDepth = 32;
// What a message quotes of the file: a value, a key, and the whole line.
inline constexpr std::size_t MaxQuoted = 40;
inline constexpr std::size_t MaxMessage = 300;

// `text` cut to `limit` bytes with "..." at the end, never inside a UTF-8
// sequence.
inline std::string shortened(const std::string &text, std::size_t limit)
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
inline std::string keyText(const std::string &key, bool quoted = true)
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

inline std::string describe(const json &value)
{
    return shortened(value.dump(-1, ' ', false, json::error_handler_t::replace), MaxQuoted);
}

inline double number(const json &value, const std::string &where, double low, double high)
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
inline double positive(const json &value, const std::string &where, double high)
{
    const double v = number(value, where, 0, high);
    if (v <= 0)
        throw Bad(where, "must be more than 0, not " + describe(value));
    return v;
}

inline int integer(const json &value, const std::string &where, int low, int high)
{
    if (!value.is_number_integer() || value.get<long long>() < low || value.get<long long>() > high)
        throw Bad(where, "must be a whole number " + std::to_string(low) + "-" + std::to_string(high) + ", not "
                             + describe(value));
    return value.get<int>();
}

inline const json &member(const json &object, const char *key, const std::string &where)
{
    if (!object.is_object())
        throw Bad(where, "must be an object, not " + describe(object));
    const auto found = object.find(key);
    if (found == object.end())
        throw Bad(where, std::string("missing \"") + key + "\"");
    return *found;
}

inline const json *optional(const json &object, const char *key)
{
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// Every object names only the keys this format knows: a misspelt key would
// otherwise silently fall back to its default.
inline void onlyKeys(const json &object, const std::string &where, std::initializer_list<const char *> keys)
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

inline const json &array(const json &value, const std::string &where, std::size_t count = 0)
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
    double coordinate(const json &value, const std::string &where, bool alongX) const;
    Point point(const json &value, const std::string &where) const;
    Rect rect(const json &value, const std::string &where) const;
    void field(const json &root);
    void marks(const json &list);
    void walls(const json &list);
    void boxes(const json &list);
    static std::array<int, 3> colour(const json &value, const std::string &where);
    void pieces(const json &list);

    // Two pieces overlap when their footprints do (separating axes, a disc
    // taken as a 16-gon unless both are discs).
    static bool overlap(const Piece &a, const Piece &b);
    void realism(const json &r);
    void zones(const json &list);
    void objects(const json &list);
    // A robot's parts, into `described`; `place` is where it stands in the
    // file ("robot", "robots[1]").
    void touchSwitches(const json &list, RobotDescription &described, const std::string &place);
    void mechanisms(const json &list, RobotDescription &described, const std::string &place);
    Point offset(const json &sensor, const std::string &where) const;
    void camera(const json &c, RobotDescription &described, const std::string &place);
    // "robot" (no index), or robot `index` of "robots".
    void robot(const json &r, RobotDescription &described, const std::string &place,
               std::optional<std::size_t> index);
    void robots(const json &list);
    // No two robots' bodies overlap at their starts; `where` names a start.
    static void startsApart(const std::vector<double> &radii, const std::vector<Pose> &starts,
                            const std::function<std::string(std::size_t)> &where);
    void read(const json &root);
};

} // namespace reading
} // namespace kxsim

#endif
