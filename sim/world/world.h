// The field a simulated robot drives on, as loaded from a world file, and
// the geometric questions the physics and the sensors ask of it. Lengths are
// metres, angles degrees counter-clockwise from the field's +x axis, the
// origin is the field's lower left corner. The camera's renderer reads the
// same structures.
//
// World file (JSON; every length in metres):
//   {
//     "field": {"width": 2.0, "height": 1.5, "reflectance": 0.9, "border": true},
//     "marks": [
//       {"line": [[0.3, 0.3], [1.7, 0.3], ...], "closed": true, "width": 0.02, "reflectance": 0.05},
//       {"area": [0.1, 0.1, 0.4, 0.3], "reflectance": 0.5}
//     ],
//     "walls": [[x1, y1, x2, y2], ...],
//     "boxes": [[x0, y0, x1, y1], ...],
//     "objects": [{"box": [x0, y0, x1, y1], "colour": "#d03030", "height": 0.05}],
//     "pieces": [{"shape": "box", "x": 0.5, "y": 0.5, "length": 0.05, "width": 0.05, "heading_deg": 0,
//                 "mass": 0.05, "friction": 0.4, "colour": "#d03030", "height": 0.05, "name": "red 1"},
//                {"shape": "disc", "x": 0.7, "y": 0.5, "radius": 0.03, ...}],
//     "zones": [{"name": "home", "area": [x0, y0, x1, y1], "reflectance": 0.3, "colour": "#3050d0"},
//               {"name": "goal", "polygon": [[x, y], ...]}],
//     "realism": {"analog_noise": 3, "gyro_bias_dps": 0.3, "gyro_drift_dps": 0.02, "wheel_spread": 0.005,
//                 "motor_spread": 0.02, "battery_sag": 0.04},   (or true for these, false for none)
//     "robot": {          (or "robots": [{...}, {...}], one robot's description each)
//       "start": {"x": 1.0, "y": 0.75, "heading_deg": 0},
//       "left_motor": 0, "right_motor": 1,
//       "ticks_per_revolution": 1000, "wheel_diameter": 0.06, "track_width": 0.15, "radius": 0.09,
//       "mass": 1.0, "stall_torque": 0.1, "tyre_friction": 0.8,
//       "reflectance_sensors": [{"port": 0, "x": 0.08, "y": 0}],
//       "distance_sensors": [{"port": 1, "x": 0.08, "y": 0, "angle_deg": 0}],
//       "bump_switch": {"port": 8},
//       "touch_switches": [{"port": 9, "angle_deg": 180, "spread_deg": 90}, {"port": 10, "claw": true}],
//       "mechanisms": [{"type": "claw", "servo": 0, "x": 0.1, "y": 0, "open_position": 800,
//                       "closed_position": 300, "open_width": 0.08, "closed_width": 0.005, "depth": 0.06},
//                      {"type": "arm", "servo": 1, "down_position": 300, "up_position": 700, "lift": 0.1},
//                      {"type": "paddle", "servo": 2, "x": 0, "y": 0.09, "length": 0.12,
//                       "from_deg": -90, "to_deg": 90}],
//       "camera": {"x": 0.05, "y": 0, "height": 0.12, "yaw_deg": 0, "pitch_deg": -15, "fov_deg": 60,
//                  "fps": 30, "configs": {"1": ["hsv 340 20 120 255 60 255 name red"]}}
//     }
//   }
// Only "field" with its width and height is required.
#ifndef KESTRIX_SIM_WORLD_H
#define KESTRIX_SIM_WORLD_H

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

struct Point
{
    double x = 0, y = 0;
};

struct Segment
{
    Point a, b;
};

// Axis-aligned rectangle, x0 <= x1 and y0 <= y1.
struct Rect
{
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

struct Mark
{
    enum class Kind { Line, Area } kind = Kind::Line;
    std::vector<Point> points; // Line: the tape's centre line
    bool closed = false;       // Line: the last point joins the first
    double width = 0.02;       // Line: tape width
    Rect area;                 // Area
    double reflectance = 0.05; // 0 black .. 1 white

    // Line: how many pieces of straight tape it has, and whether the one
    // from point k on (to the next, or the first) covers p.
    std::size_t segments() const { return points.empty() ? 0 : closed ? points.size() : points.size() - 1; }
    bool segmentCovers(std::size_t k, Point p) const;
};

struct ColouredObject
{
    Rect box;
    std::array<int, 3> rgb{200, 50, 50};
    double height = 0.05;
};

struct Pose
{
    double x = 0, y = 0, headingDeg = 0;
};

// The most pieces a world may hold.
constexpr std::size_t MaxPieces = 64;

// A game piece: a box or a disc that lies on the floor until something
// pushes it, and then slides on the floor's friction until it stops.
struct Piece
{
    enum class Shape { Box, Disc } shape = Shape::Box;
    Pose start;                // its centre, and a box's heading
    double length = 0.05;      // box: along its heading
    double width = 0.05;       // box: across it
    double radius = 0.025;     // disc
    double mass = 0.05;        // kg
    double friction = 0.4;     // with the floor
    double height = 0.05;
    std::array<int, 3> rgb{200, 50, 50};
    std::string name;          // may be empty
};

// A named area of the floor that challenges score against; with a
// reflectance the sensors see it as floor of that shade.
struct Zone
{
    std::string name;
    std::vector<Point> polygon; // corners in order; a rectangle has four
    std::optional<double> reflectance;
    std::optional<std::array<int, 3>> rgb; // how it is drawn

    bool contains(Point p) const;
};

// The camera on the robot: where it sits (forward and left of the robot's
// centre, lens height), where it looks, its frame rate and the channel
// configurations served as /etc/kestrix/camera/<name>.conf.
struct CameraDescription
{
    double x = 0.05, y = 0, height = 0.12;
    double yawDeg = 0, pitchDeg = -15, fieldOfViewDeg = 60;
    double framesPerSecond = 30;
    std::map<std::string, std::vector<std::string>> configs; // name -> lines
};

// A mechanism on a servo port, moved by the servo's shaft. Positions are on
// the servo's 0-1023 scale; lengths in metres, in the robot's frame (x
// forward, y to the left of its centre).
struct Mechanism
{
    enum class Kind { Claw, Arm, Paddle } kind = Kind::Claw;
    int servo = 0;
    // Claw: two jaws whose inner faces are `width` apart, reaching `depth`
    // forward from their base at `at`; the width goes from openWidth at
    // openPosition to closedWidth at closedPosition.
    Point at{0.10, 0};
    double openPosition = 800, closedPosition = 300;
    double openWidth = 0.08, closedWidth = 0.005, depth = 0.06;
    // Arm: lifts the claw from the floor at downPosition to `lift` at upPosition.
    double downPosition = 300, upPosition = 700, lift = 0.10;
    // Paddle: a bar of `length` from a pivot at `at`, turning from fromDeg
    // (at position 0) to toDeg (at 1023) relative to the robot's heading.
    double length = 0.12, fromDeg = -90, toDeg = 90;
};

// The most robots one world takes (kestrix-sim --robot, one per program).
constexpr std::size_t MaxRobots = 2;
// How tall a robot's body stands for another robot's sensors and camera.
constexpr double RobotBodyHeight = 0.15;

struct RobotDescription
{
    Pose start;
    // Every robot's start, in the order of the robots; the first is `start`.
    // Every robot of a match is this description at its own start.
    std::vector<Pose> starts;
    // Each robot's colour, as another robot's camera sees its body and the
    // picture of a match draws its path.
    std::vector<std::array<int, 3>> colours{{40, 90, 210}, {230, 120, 0}};
    int leftMotor = 0, rightMotor = 1;
    double ticksPerRevolution = 1000;
    double wheelDiameter = 0.06;
    double trackWidth = 0.15;
    double radius = 0.09; // the body is a disc of this radius
    double mass = 1.0;    // kg, the whole robot
    // Each wheel's DC motor: torque falls from stall to zero at the free
    // speed, which is the coprocessor's full speed at the nominal voltage.
    double stallTorque = 0.2;  // N m per motor: at stall it out-pushes the tyres
    double tyreFriction = 0.8; // the tyres' grip on the floor
    struct Reflectance { int port; Point offset; };
    // A distance sensor's beam: `beamDeg` wide (0: a ray), `height` above
    // the floor; a body lower than that passes under it.
    struct Distance { int port; Point offset; double angleDeg; double beamDeg = 0; double height = 0.03; };
    std::vector<Reflectance> reflectanceSensors;
    std::vector<Distance> distanceSensors;
    std::optional<int> bumpPort;
    // A touch switch closes when the body touches something within `spread`
    // degrees around `angleDeg` (0 ahead, counter-clockwise), or, in the
    // claw, while the claw holds a piece.
    struct Touch { int port; double angleDeg = 0; double spreadDeg = 90; bool claw = false; };
    std::vector<Touch> touchSwitches;
    std::vector<Mechanism> mechanisms;
    std::optional<CameraDescription> camera;
    // The board's own magnetic field on the magnetometer's x and y axes (in
    // its counts), as a real robot's motors and battery add: a program must
    // calibrate the compass to read true headings. None by default.
    double magnetometerOffsetX = 0, magnetometerOffsetY = 0;
};

// How far the simulated robot falls short of the ideal one, as a real robot
// does: drawn once per run from the run's seed (kestrix-sim --seed), except
// the drift and the noise, which go on drawing as the run goes.
struct Realism
{
    bool on = false;
    double analogNoise = 3;      // counts, standard deviation of every connected analog reading
    double gyroBiasDps = 0.3;    // the gyroscope's bias, up to this either way
    double gyroDriftDps = 0.02;  // its random walk, degrees a second per square root of a second
    double wheelSpread = 0.005;  // each wheel's diameter off by up to this share
    double motorSpread = 0.02;   // each motor's speed off by up to this share
    double batterySag = 0.04;    // share of the battery's voltage lost at full load (motors slow)
};

struct World
{
    std::string path;
    double width = 0, height = 0;
    double floorReflectance = 0.9;
    std::vector<Mark> marks;
    std::vector<Segment> walls; // the border walls included when "border" is true
    std::vector<Rect> boxes;
    std::vector<ColouredObject> objects; // obstacles too
    std::vector<Piece> pieces;
    std::vector<Zone> zones;
    // The file's "robot": every robot of a match is this description at its
    // own start. With "robots", the first of them.
    RobotDescription robot;
    // The file's "robots": each robot's own description, in the order of the
    // robots; each carries every robot's start and colour as `robot` does.
    // Empty with "robot".
    std::vector<RobotDescription> robots;
    Realism realism;

    // Robot `n`'s description (0: the first).
    const RobotDescription &robotAt(std::size_t n) const { return n < robots.size() ? robots[n] : robot; }

    // Reflectance of the floor at `p` (the last mark listed wins).
    double reflectanceAt(Point p) const;
    // What a sensor sees looking down at `p`: the mean reflectance over a
    // spot of `radius` metres, so that it reads in between across the edge
    // of a tape (a tape is taken as straight across the spot).
    double sensedReflectance(Point p, double radius) const;
    // Distance from `p` to the nearest wall, box or object, and the nearest
    // point on it.
    double clearance(Point p, Point *nearest = nullptr) const;
    // Distance along the ray from `p` at `angleDeg` to the first obstacle, at
    // most `limit`.
    double rayDistance(Point p, double angleDeg, double limit) const;
};

// Reads and checks a world file. On failure returns false with `error` set
// to one line naming the file, the place (line and column, or the field)
// and what is wrong.
bool loadWorld(const std::string &path, World &world, std::string &error);
// The same from text; `name` stands for the file in messages.
bool parseWorld(const std::string &text, const std::string &name, World &world, std::string &error);

// The sensor curves, documented in the README.
// Downward reflectance sensor: dark floor reads high; it sees a spot of
// this radius.
constexpr double ReflectanceSpotRadius = 0.005;
int reflectanceReading(double reflectance);
// Distance sensor: high when near, falling with distance; beyond its range it
// reads as at the range.
constexpr double DistanceSensorMin = 0.04, DistanceSensorRange = 0.80;
int distanceReading(double metres);

} // namespace kxsim

#endif
