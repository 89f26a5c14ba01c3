// The world file's robot: its wheels, sensors, switches, mechanisms and camera.
#include "world/world_reader.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kxsim {
namespace reading {

void Reader::touchSwitches(const json &list)
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

void Reader::mechanisms(const json &list)
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

Point Reader::offset(const json &sensor, const std::string &where) const
{
    Point p;
    if (const json *x = optional(sensor, "x"))
        p.x = number(*x, where + ".x", -1, 1);
    if (const json *y = optional(sensor, "y"))
        p.y = number(*y, where + ".y", -1, 1);
    return p;
}

void Reader::camera(const json &c)
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

void Reader::robot(const json &r)
{
    RobotDescription &described = world.robot;
    onlyKeys(r, "robot", {"start", "left_motor", "right_motor", "ticks_per_revolution", "wheel_diameter",
                          "track_width", "radius", "reflectance_sensors", "distance_sensors", "bump_switch",
                          "camera", "magnetometer_offset", "mass", "stall_torque", "tyre_friction",
                          "touch_switches", "mechanisms", "colours"});
    if (const json *list = optional(r, "colours")) {
        array(*list, "robot.colours");
        if (list->empty() || list->size() > MaxRobots)
            throw Bad("robot.colours", "must list 1 to " + std::to_string(MaxRobots) + " colours, one per robot");
        for (std::size_t n = 0; n < list->size(); ++n)
            described.colours[n] = colour((*list)[n], "robot.colours[" + std::to_string(n) + "]");
    }
    if (const json *start = optional(r, "start")) {
        // One pose, or one per robot of a match (kestrix-sim --robot), in
        // the order of the robots.
        auto pose = [&](const json &at, const std::string &where) {
            onlyKeys(at, where, {"x", "y", "heading_deg"});
            Pose p{coordinate(member(at, "x", where), where + ".x", true),
                   coordinate(member(at, "y", where), where + ".y", false), 0};
            if (const json *h = optional(at, "heading_deg"))
                p.headingDeg = number(*h, where + ".heading_deg", -360, 360);
            return p;
        };
        described.starts.clear();
        if (start->is_array()) {
            array(*start, "robot.start");
            if (start->empty() || start->size() > MaxRobots)
                throw Bad("robot.start", "must list 1 to " + std::to_string(MaxRobots) + " poses");
            for (std::size_t n = 0; n < start->size(); ++n)
                described.starts.push_back(pose((*start)[n], "robot.start[" + std::to_string(n) + "]"));
        } else {
            described.starts.push_back(pose(*start, "robot.start"));
        }
        described.start = described.starts.front();
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
    // Robots of a match start apart: bodies that overlap would be thrown
    // out of each other at the first step.
    for (std::size_t a = 0; a < described.starts.size(); ++a)
        for (std::size_t b = a + 1; b < described.starts.size(); ++b)
            if (std::hypot(described.starts[a].x - described.starts[b].x,
                           described.starts[a].y - described.starts[b].y) < 2 * described.radius)
                throw Bad("robot.start[" + std::to_string(b) + "]",
                          "overlaps the robot at robot.start[" + std::to_string(a) + "]");
}

} // namespace reading
} // namespace kxsim
