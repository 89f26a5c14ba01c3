// The world file's robot: its wheels, sensors, switches, mechanisms and camera.
#include "world/world_reader.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

namespace kxsim {
namespace reading {

void Reader::touchSwitches(const json &list, RobotDescription &described, const std::string &place)
{
    array(list, place + ".touch_switches");
    for (std::size_t n = 0; n < list.size(); ++n) {
        const std::string where = place + ".touch_switches[" + std::to_string(n) + "]";
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
        described.touchSwitches.push_back(touch);
    }
}

void Reader::mechanisms(const json &list, RobotDescription &described, const std::string &place)
{
    array(list, place + ".mechanisms");
    for (std::size_t n = 0; n < list.size(); ++n) {
        const std::string where = place + ".mechanisms[" + std::to_string(n) + "]";
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
            mechanism.at = {described.radius + 0.01, 0};
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
            mechanism.at = {0, described.radius};
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
        for (const Mechanism &other : described.mechanisms) {
            if (other.servo == mechanism.servo)
                throw Bad(where + ".servo", "servo " + std::to_string(mechanism.servo) + " moves another mechanism already");
            if (other.kind == mechanism.kind)
                throw Bad(where + ".type", "the robot has one " + type.get<std::string>() + " already");
        }
        described.mechanisms.push_back(mechanism);
    }
    const bool claw = std::any_of(described.mechanisms.begin(), described.mechanisms.end(),
                                  [](const Mechanism &m) { return m.kind == Mechanism::Kind::Claw; });
    for (const Mechanism &m : described.mechanisms)
        if (m.kind == Mechanism::Kind::Arm && !claw)
            throw Bad(place + ".mechanisms", "an arm lifts the claw: the robot needs a claw too");
}

Point Reader::offset(const json &sensor, const std::string &where) const
{
    Point p;
    if (const json *x = optional(sensor, "x"))
        p.x = number(*x, where + ".x", -1, 1);
    if (const json *y = optional(sensor, "y"))
        p.y = number(*y, where + ".y", -1, 1);
    return p;
}

void Reader::camera(const json &c, RobotDescription &robot, const std::string &place)
{
    const std::string where = place + ".camera";
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
    robot.camera = described;
}

void Reader::robot(const json &r, RobotDescription &described, const std::string &place,
                   std::optional<std::size_t> index)
{
    // "robot" describes every robot of a match, each at its own start and in
    // its own colour; each of "robots" one robot, with its one start and
    // colour.
    if (index)
        onlyKeys(r, place, {"start", "left_motor", "right_motor", "ticks_per_revolution", "wheel_diameter",
                            "track_width", "radius", "reflectance_sensors", "distance_sensors", "bump_switch",
                            "camera", "magnetometer_offset", "mass", "stall_torque", "tyre_friction",
                            "touch_switches", "mechanisms", "colour"});
    else
        onlyKeys(r, place, {"start", "left_motor", "right_motor", "ticks_per_revolution", "wheel_diameter",
                            "track_width", "radius", "reflectance_sensors", "distance_sensors", "bump_switch",
                            "camera", "magnetometer_offset", "mass", "stall_torque", "tyre_friction",
                            "touch_switches", "mechanisms", "colours"});
    const auto at = [&](const char *key) { return place + "." + key; };
    if (const json *list = optional(r, "colours")) {
        array(*list, at("colours"));
        if (list->empty() || list->size() > MaxRobots)
            throw Bad(at("colours"), "must list 1 to " + std::to_string(MaxRobots) + " colours, one per robot");
        for (std::size_t n = 0; n < list->size(); ++n)
            described.colours[n] = colour((*list)[n], at("colours") + "[" + std::to_string(n) + "]");
    }
    if (const json *c = optional(r, "colour"))
        described.colours[*index] = colour(*c, at("colour"));
    if (const json *start = optional(r, "start")) {
        // One pose, or in "robot" one per robot of a match (kestrix-sim
        // --robot), in the order of the robots.
        auto pose = [&](const json &p, const std::string &where) {
            onlyKeys(p, where, {"x", "y", "heading_deg"});
            Pose pose{coordinate(member(p, "x", where), where + ".x", true),
                      coordinate(member(p, "y", where), where + ".y", false), 0};
            if (const json *h = optional(p, "heading_deg"))
                pose.headingDeg = number(*h, where + ".heading_deg", -360, 360);
            return pose;
        };
        described.starts.clear();
        if (start->is_array() && !index) {
            array(*start, at("start"));
            if (start->empty() || start->size() > MaxRobots)
                throw Bad(at("start"), "must list 1 to " + std::to_string(MaxRobots) + " poses");
            for (std::size_t n = 0; n < start->size(); ++n)
                described.starts.push_back(pose((*start)[n], at("start") + "[" + std::to_string(n) + "]"));
        } else {
            described.starts.push_back(pose(*start, at("start")));
        }
        described.start = described.starts.front();
    }
    if (const json *m = optional(r, "left_motor"))
        described.leftMotor = integer(*m, at("left_motor"), 0, 3);
    if (const json *m = optional(r, "right_motor"))
        described.rightMotor = integer(*m, at("right_motor"), 0, 3);
    if (described.leftMotor == described.rightMotor)
        throw Bad(at("right_motor"), "must differ from left_motor");
    if (const json *t = optional(r, "ticks_per_revolution"))
        described.ticksPerRevolution = number(*t, at("ticks_per_revolution"), 1, 1e6);
    if (const json *d = optional(r, "wheel_diameter"))
        described.wheelDiameter = number(*d, at("wheel_diameter"), 0.005, 1);
    if (const json *t = optional(r, "track_width"))
        described.trackWidth = number(*t, at("track_width"), 0.01, 2);
    if (const json *radius = optional(r, "radius"))
        described.radius = number(*radius, at("radius"), 0.01, 2);
    if (const json *m = optional(r, "mass"))
        described.mass = positive(*m, at("mass"), 100);
    if (const json *t = optional(r, "stall_torque"))
        described.stallTorque = positive(*t, at("stall_torque"), 100);
    if (const json *f = optional(r, "tyre_friction"))
        described.tyreFriction = positive(*f, at("tyre_friction"), 10);
    if (const json *list = optional(r, "reflectance_sensors")) {
        array(*list, at("reflectance_sensors"));
        for (std::size_t n = 0; n < list->size(); ++n) {
            const std::string where = at("reflectance_sensors") + "[" + std::to_string(n) + "]";
            onlyKeys((*list)[n], where, {"port", "x", "y"});
            described.reflectanceSensors.push_back(
                {integer(member((*list)[n], "port", where), where + ".port", 0, 5), offset((*list)[n], where)});
        }
    }
    if (const json *list = optional(r, "distance_sensors")) {
        array(*list, at("distance_sensors"));
        for (std::size_t n = 0; n < list->size(); ++n) {
            const std::string where = at("distance_sensors") + "[" + std::to_string(n) + "]";
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
        onlyKeys(*bump, at("bump_switch"), {"port"});
        described.bumpPort = integer(member(*bump, "port", at("bump_switch")), at("bump_switch") + ".port", 0, 15);
    }
    if (const json *list = optional(r, "touch_switches"))
        touchSwitches(*list, described, place);
    if (const json *list = optional(r, "mechanisms"))
        mechanisms(*list, described, place);
    if (const json *c = optional(r, "camera"))
        camera(*c, described, place);
    if (const json *o = optional(r, "magnetometer_offset")) {
        if (!o->is_array() || o->size() != 2)
            throw Bad(at("magnetometer_offset"), "must be [x, y] in the magnetometer's counts");
        described.magnetometerOffsetX = number((*o)[0], at("magnetometer_offset") + "[0]", -2000, 2000);
        described.magnetometerOffsetY = number((*o)[1], at("magnetometer_offset") + "[1]", -2000, 2000);
    }
    std::vector<int> digitalPorts;
    if (described.bumpPort)
        digitalPorts.push_back(*described.bumpPort);
    for (const auto &t : described.touchSwitches)
        digitalPorts.push_back(t.port);
    std::sort(digitalPorts.begin(), digitalPorts.end());
    if (std::adjacent_find(digitalPorts.begin(), digitalPorts.end()) != digitalPorts.end())
        throw Bad(place, "two switches on one digital pin");
    const bool claw = std::any_of(described.mechanisms.begin(), described.mechanisms.end(),
                                  [](const Mechanism &m) { return m.kind == Mechanism::Kind::Claw; });
    for (const auto &t : described.touchSwitches)
        if (t.claw && !claw)
            throw Bad(at("touch_switches"), "a switch in the claw needs a claw among the mechanisms");
    std::vector<int> analogPorts;
    for (const auto &s : described.reflectanceSensors)
        analogPorts.push_back(s.port);
    for (const auto &s : described.distanceSensors)
        analogPorts.push_back(s.port);
    std::sort(analogPorts.begin(), analogPorts.end());
    if (std::adjacent_find(analogPorts.begin(), analogPorts.end()) != analogPorts.end())
        throw Bad(place, "two sensors on one analog port");
    if (!index)
        startsApart(std::vector<double>(described.starts.size(), described.radius), described.starts,
                    [&](std::size_t n) { return at("start") + "[" + std::to_string(n) + "]"; });
}

void Reader::robots(const json &list)
{
    array(list, "robots");
    if (list.empty() || list.size() > MaxRobots)
        throw Bad("robots", "must list 1 to " + std::to_string(MaxRobots) + " robots, one per robot of a match");
    std::vector<double> radii;
    RobotDescription shared; // the starts and colours every description carries
    for (std::size_t n = 0; n < list.size(); ++n) {
        RobotDescription described;
        described.start = {world.width / 2, world.height / 2, 0};
        described.starts = {described.start};
        robot(list[n], described, "robots[" + std::to_string(n) + "]", n);
        shared.starts.push_back(described.start);
        shared.colours[n] = described.colours[n];
        radii.push_back(described.radius);
        world.robots.push_back(std::move(described));
    }
    startsApart(radii, shared.starts, [](std::size_t n) { return "robots[" + std::to_string(n) + "].start"; });
    // Whatever asks of every robot's start or colour finds them in each
    // description, as in one that describes them all.
    for (RobotDescription &described : world.robots) {
        described.starts = shared.starts;
        described.colours = shared.colours;
    }
    world.robot = world.robots.front();
}

void Reader::startsApart(const std::vector<double> &radii, const std::vector<Pose> &starts,
                         const std::function<std::string(std::size_t)> &where)
{
    // Robots of a match start apart: bodies that overlap would be thrown
    // out of each other at the first step.
    for (std::size_t a = 0; a < starts.size(); ++a)
        for (std::size_t b = a + 1; b < starts.size(); ++b)
            if (std::hypot(starts[a].x - starts[b].x, starts[a].y - starts[b].y) < radii[a] + radii[b])
                throw Bad(where(b), "overlaps the robot at " + where(a));
}

} // namespace reading
} // namespace kxsim
