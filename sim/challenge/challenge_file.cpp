// Reading a challenge file: the document, its world, its variations and its
// rules. Every key is checked, and every fault is one line naming the file
// and the place: "c.json: rules[2]: unknown rule 'wall'".
#include "challenge/challenge.h"

#include "model/script.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <exception>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace kxsim {

namespace {

using nlohmann::json;

// A challenge is a page of hand-written JSON, like a world file.
constexpr std::size_t MaxFileBytes = 1 << 20;
constexpr double MaxTimeLimit = 3600;
constexpr int MaxSeeds = 1000;
constexpr std::size_t MaxRules = 100;
// A match's sides: as many as kestrix-sim plays robots.
constexpr std::size_t MaxSides = 2;
constexpr double MaxPoints = 1e6;

struct Fault
{
    std::string where, what;
};

[[noreturn]] void fault(const std::string &where, const std::string &what)
{
    throw Fault{where, what};
}

std::string shown(const std::string &text)
{
    std::string text_ = json(text).dump(-1, ' ', false, json::error_handler_t::replace);
    return text_.size() > 42 ? text_.substr(0, 39) + "...\"" : text_;
}

// Keys of one object, each read once: a key left unread is unknown.
class Object
{
public:
    Object(const json &value, std::string where) : value_(value), where_(std::move(where))
    {
        if (!value.is_object())
            fault(where_, "must be an object");
    }
    ~Object() noexcept(false)
    {
        if (std::uncaught_exceptions() == 0)
            for (const auto &item : value_.items())
                if (read_.count(item.key()) == 0)
                    fault(where_, "unknown key " + shown(item.key()));
    }
    const json *find(const std::string &key)
    {
        read_.insert(key);
        const auto found = value_.find(key);
        return found == value_.end() ? nullptr : &*found;
    }
    const json &need(const std::string &key)
    {
        const json *value = find(key);
        if (value == nullptr)
            fault(where_, "needs " + shown(key));
        return *value;
    }
    std::string at(const std::string &key) const { return where_.empty() ? key : where_ + "." + key; }
    const std::string &where() const { return where_; }

private:
    const json &value_;
    std::string where_;
    std::set<std::string> read_;
};

double number(const json &value, const std::string &where, double low, double high)
{
    if (!value.is_number() || !std::isfinite(value.get<double>()))
        fault(where, "must be a number");
    const double number = value.get<double>();
    if (number < low || number > high) {
        std::ostringstream range;
        range << "must be from " << low << " to " << high << ", not " << number;
        fault(where, range.str());
    }
    return number;
}

int whole(const json &value, const std::string &where, int low, int high)
{
    const double n = number(value, where, low, high);
    if (n != std::floor(n))
        fault(where, "must be a whole number");
    return int(n);
}

std::string text(const json &value, const std::string &where)
{
    if (!value.is_string() || value.get<std::string>().empty())
        fault(where, "must be a text");
    return value.get<std::string>();
}

Range range(const json &value, const std::string &where, double low, double high)
{
    if (!value.is_array() || value.size() != 2)
        fault(where, "must be [low, high]");
    const Range r{number(value[0], where + "[0]", low, high), number(value[1], where + "[1]", low, high)};
    if (r.low > r.high)
        fault(where, "its low end is above its high end");
    return r;
}

int zoneIndex(const World &world, const json &value, const std::string &where)
{
    const std::string name = text(value, where);
    for (std::size_t n = 0; n < world.zones.size(); ++n)
        if (world.zones[n].name == name)
            return int(n);
    fault(where, "the world has no zone " + shown(name));
}

int pieceIndex(const World &world, const json &value, const std::string &where)
{
    if (value.is_number()) {
        if (world.pieces.empty())
            fault(where, "the world has no pieces");
        return whole(value, where, 0, int(world.pieces.size()) - 1);
    }
    const std::string name = text(value, where);
    for (std::size_t n = 0; n < world.pieces.size(); ++n)
        if (world.pieces[n].name == name)
            return int(n);
    fault(where, "the world has no piece " + shown(name));
}

// ---- The rules ----------------------------------------------------------------

struct RuleReader
{
    const char *name;
    Rule::Kind kind;
    bool penalty;
    void (*read)(Object &o, Rule &rule, const Challenge &challenge);
};

void readAt(Object &o, Rule &rule, const Challenge &challenge)
{
    if (const json *at = o.find("at"))
        rule.at = number(*at, o.at("at"), 0, challenge.timeLimit);
}

void readCap(Object &o, Rule &rule, int high)
{
    rule.count = high;
    if (const json *most = o.find("most"))
        rule.count = whole(*most, o.at("most"), 1, high);
}

const RuleReader RuleTable[] = {
    {"pieces_in_zone", Rule::Kind::PiecesInZone, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         rule.zone = zoneIndex(c.world, o.need("zone"), o.at("zone"));
         if (const json *pieces = o.find("pieces")) {
             if (!pieces->is_array() || pieces->empty())
                 fault(o.at("pieces"), "must be a list of piece names or numbers");
             for (std::size_t n = 0; n < pieces->size(); ++n)
                 rule.pieces.push_back(pieceIndex(c.world, (*pieces)[n], o.at("pieces") + "[" + std::to_string(n) + "]"));
         } else {
             if (c.world.pieces.empty())
                 fault(o.where(), "the world has no pieces");
             for (std::size_t n = 0; n < c.world.pieces.size(); ++n)
                 rule.pieces.push_back(int(n));
         }
         readCap(o, rule, int(rule.pieces.size()));
         readAt(o, rule, c);
         rule.label = "pieces in " + shown(c.world.zones[std::size_t(rule.zone)].name);
     }},
    {"robot_in_zone", Rule::Kind::RobotInZone, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         rule.zone = zoneIndex(c.world, o.need("zone"), o.at("zone"));
         readAt(o, rule, c);
         rule.label = "robot in " + shown(c.world.zones[std::size_t(rule.zone)].name);
     }},
    {"pose", Rule::Kind::Pose, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         if (const json *x = o.find("x"))
             rule.x = range(*x, o.at("x"), -1e3, 1e3);
         if (const json *y = o.find("y"))
             rule.y = range(*y, o.at("y"), -1e3, 1e3);
         if (const json *heading = o.find("heading_deg"))
             rule.heading = range(*heading, o.at("heading_deg"), -360, 360);
         if (!rule.x && !rule.y && !rule.heading)
             fault(o.where(), "needs \"x\", \"y\" or \"heading_deg\"");
         readAt(o, rule, c);
         rule.label = "robot's pose";
     }},
    {"line_share", Rule::Kind::LineShare, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         rule.port = c.world.robot.reflectanceSensors.empty() ? 0 : c.world.robot.reflectanceSensors[0].port;
         if (const json *port = o.find("port"))
             rule.port = whole(*port, o.at("port"), 0, 5);
         if (const json *threshold = o.find("threshold"))
             rule.threshold = number(*threshold, o.at("threshold"), 0, 4095);
         rule.share = number(o.need("share"), o.at("share"), 0, 1);
         rule.label = "line sensor on tape";
     }},
    {"laps", Rule::Kind::Laps, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         rule.around = {c.world.width / 2, c.world.height / 2};
         if (const json *around = o.find("around")) {
             if (!around->is_array() || around->size() != 2)
                 fault(o.at("around"), "must be [x, y]");
             rule.around = {number((*around)[0], o.at("around") + "[0]", 0, c.world.width),
                            number((*around)[1], o.at("around") + "[1]", 0, c.world.height)};
         }
         rule.count = 1;
         if (const json *most = o.find("most"))
             rule.count = whole(*most, o.at("most"), 1, 1000);
         rule.label = "laps";
     }},
    {"console", Rule::Kind::Console, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         rule.pattern = text(o.need("regex"), o.at("regex"));
         try {
             rule.regex = std::regex(rule.pattern, std::regex::ECMAScript);
         } catch (const std::regex_error &e) {
             fault(o.at("regex"), "not a regular expression: " + std::string(e.what()));
         }
         rule.before = c.timeLimit;
         if (const json *before = o.find("before"))
             rule.before = number(*before, o.at("before"), 0, c.timeLimit);
         rule.label = "console " + shown(rule.pattern);
     }},
    {"pin", Rule::Kind::Pin, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         rule.port = whole(o.need("pin"), o.at("pin"), 0, 15);
         rule.level = whole(o.need("level"), o.at("level"), 0, 1);
         readAt(o, rule, c);
         rule.label = "pin " + std::to_string(rule.port) + " at " + std::to_string(rule.level);
     }},
    {"motors", Rule::Kind::Motors, false,
     [](Object &o, Rule &rule, const Challenge &c) {
         const json &motors = o.need("motors");
         if (!motors.is_array() || motors.empty())
             fault(o.at("motors"), "must be a list of motor ports");
         for (std::size_t n = 0; n < motors.size(); ++n)
             rule.motors.push_back(whole(motors[n], o.at("motors") + "[" + std::to_string(n) + "]", 0, 3));
         const std::string state = text(o.need("state"), o.at("state"));
         if (state != "stopped" && state != "running")
             fault(o.at("state"), "must be \"stopped\" or \"running\", not " + shown(state));
         rule.running = state == "running";
         readAt(o, rule, c);
         rule.label = "motors " + state;
     }},
    {"wall_touch", Rule::Kind::WallTouch, true,
     [](Object &o, Rule &rule, const Challenge &) {
         readCap(o, rule, 1000);
         rule.label = "wall touches";
     }},
    {"leave_field", Rule::Kind::LeaveField, true,
     [](Object &o, Rule &rule, const Challenge &c) {
         if (const json *zone = o.find("zone"))
             rule.zone = zoneIndex(c.world, *zone, o.at("zone"));
         rule.label = rule.zone < 0 ? "left the field" : "left " + shown(c.world.zones[std::size_t(rule.zone)].name);
     }},
    {"piece_off_table", Rule::Kind::PieceOffTable, true,
     [](Object &o, Rule &rule, const Challenge &c) {
         if (c.world.pieces.empty())
             fault(o.where(), "the world has no pieces");
         readCap(o, rule, int(c.world.pieces.size()));
         rule.label = "pieces off the table";
     }},
    {"motors_at_exit", Rule::Kind::MotorsAtExit, true,
     [](Object &, Rule &rule, const Challenge &) { rule.label = "motors left running"; }},
};

Rule readRule(const json &value, const std::string &where, const Challenge &challenge, bool inSide)
{
    Object o(value, where);
    const std::string kind = text(o.need("rule"), o.at("rule"));
    const RuleReader *reader = nullptr;
    for (const RuleReader &row : RuleTable)
        if (kind == row.name)
            reader = &row;
    if (reader == nullptr)
        fault(o.at("rule"), "unknown rule " + shown(kind));
    Rule rule;
    rule.kind = reader->kind;
    rule.points = reader->penalty ? number(o.need("points"), o.at("points"), -MaxPoints, 0)
                                  : number(o.need("points"), o.at("points"), 0, MaxPoints);
    if (const json *robot = o.find("robot")) {
        if (inSide)
            fault(o.at("robot"), "a side's rules look at its own robot");
        whole(*robot, o.at("robot"), 0, 0); // the one robot
    }
    reader->read(o, rule, challenge);
    if (const json *name = o.find("name"))
        rule.label = text(*name, o.at("name"));
    return rule;
}

// ---- The document ---------------------------------------------------------------

std::string folderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool readFile(const std::string &path, std::string &text, std::string &error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream content;
    char buffer[8192];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        content.write(buffer, file.gcount());
        if (std::size_t(content.tellp()) > MaxFileBytes) {
            error = path + ": larger than " + std::to_string(MaxFileBytes) + " bytes";
            return false;
        }
    }
    if (file.bad()) {
        error = "cannot read " + path;
        return false;
    }
    text = content.str();
    return true;
}

std::string lineAndColumn(const std::string &text, std::size_t byte)
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

void readWorld(Object &o, Challenge &challenge, std::string &worldName)
{
    const json &world = o.need("world");
    json document;
    if (world.is_string()) {
        std::string path = world.get<std::string>();
        if (path.empty())
            fault("world", "must name a file or hold a world");
        if (path[0] != '/')
            path = folderOf(challenge.path) + "/" + path;
        std::string content, error;
        if (!readFile(path, content, error))
            fault("world", error);
        try {
            document = json::parse(content);
        } catch (const json::exception &) {
            // The world's reader names the place of the fault.
            World ignored;
            if (!parseWorld(content, path, ignored, error))
                throw Fault{"", error};
            fault("world", path + ": not JSON");
        }
        worldName = path;
        challenge.worldFile = path.substr(path.rfind('/') + 1);
    } else if (world.is_object()) {
        document = world;
        worldName = challenge.path + " (world)";
    } else {
        fault("world", "must name a file or hold a world");
    }
    if (const json *zones = o.find("zones")) {
        if (!zones->is_array())
            fault("zones", "must be a list of zones");
        if (!document.is_object())
            fault("world", "must be an object");
        json &into = document["zones"];
        if (into.is_null())
            into = json::array();
        for (const json &zone : *zones)
            into.push_back(zone);
    }
    challenge.worldText = document.dump(2);
    std::string error;
    if (!parseWorld(challenge.worldText, worldName, challenge.world, error))
        throw Fault{"", error};
}

void readVariations(Object &top, Challenge &challenge)
{
    const json *variations = top.find("variations");
    if (variations == nullptr)
        return;
    Object o(*variations, "variations");
    if (const json *seeds = o.find("seeds"))
        challenge.seeds = whole(*seeds, o.at("seeds"), 1, MaxSeeds);
    if (const json *battery = o.find("battery"))
        challenge.battery = range(*battery, o.at("battery"), 0, 100);
    if (const json *start = o.find("start")) {
        Object s(*start, o.at("start"));
        if (const json *x = s.find("x"))
            challenge.startX = range(*x, s.at("x"), 0, challenge.world.width);
        if (const json *y = s.find("y"))
            challenge.startY = range(*y, s.at("y"), 0, challenge.world.height);
        if (const json *heading = s.find("heading_deg"))
            challenge.startHeading = range(*heading, s.at("heading_deg"), -360, 360);
    }
}

std::vector<Rule> readRules(const json &rules, const std::string &where, const Challenge &challenge, bool inSide)
{
    if (!rules.is_array() || rules.empty() || rules.size() > MaxRules)
        fault(where, "must be a list of 1 to " + std::to_string(MaxRules) + " rules");
    std::vector<Rule> read;
    for (std::size_t n = 0; n < rules.size(); ++n)
        read.push_back(readRule(rules[n], where + "[" + std::to_string(n) + "]", challenge, inSide));
    return read;
}

// A match: one side per robot, each with its rules, in the order of the
// world's start poses.
void readSides(const json &sides, Challenge &challenge)
{
    if (!sides.is_array() || sides.size() < 2 || sides.size() > MaxSides)
        fault("sides", "must be a list of 2 to " + std::to_string(MaxSides) + " sides");
    const std::size_t starts = challenge.world.robot.starts.size();
    if (starts < sides.size())
        fault("sides", "the world gives " + std::to_string(starts) + " start pose" + (starts == 1 ? "" : "s") + " for "
                           + std::to_string(sides.size()) + " sides");
    if (challenge.startX || challenge.startY || challenge.startHeading)
        fault("variations.start", "a match starts each robot at its own pose of the world");
    for (std::size_t n = 0; n < sides.size(); ++n) {
        Object o(sides[n], "sides[" + std::to_string(n) + "]");
        Side side;
        side.name = "robot " + std::to_string(n + 1);
        if (const json *name = o.find("name"))
            side.name = text(*name, o.at("name"));
        side.rules = readRules(o.need("rules"), o.at("rules"), challenge, true);
        side.passMark = challenge.passMark;
        if (const json *pass = o.find("pass"))
            side.passMark = number(*pass, o.at("pass"), 0, MaxPoints * MaxRules);
        challenge.sides.push_back(std::move(side));
    }
}

void readDocument(const json &root, Challenge &challenge)
{
    Object o(root, "");
    if (const json *name = o.find("name"))
        challenge.name = text(*name, "name");
    std::string worldName;
    readWorld(o, challenge, worldName);
    challenge.timeLimit = number(o.need("time_limit"), "time_limit", 0.1, MaxTimeLimit);
    readVariations(o, challenge);
    if (const json *start = o.find("start")) {
        if (!start->is_array())
            fault("start", "must be a list of script lines");
        for (std::size_t n = 0; n < start->size(); ++n)
            challenge.startSteps.push_back(text((*start)[n], "start[" + std::to_string(n) + "]"));
    }
    challenge.passMark = number(o.need("pass"), "pass", 0, MaxPoints * MaxRules);
    const json *rules = o.find("rules");
    const json *sides = o.find("sides");
    if (rules && sides)
        fault("sides", "a match's rules are its sides': \"rules\" does not go with \"sides\"");
    if (sides)
        readSides(*sides, challenge);
    else
        challenge.rules = readRules(o.need("rules"), "rules", challenge, false);
}

} // namespace

bool parseChallenge(const std::string &text, const std::string &path, Challenge &challenge, std::string &error)
{
    challenge = Challenge{};
    challenge.path = path;
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error &e) {
        std::string what = e.what();
        what = what.substr(what.find(' ') == std::string::npos ? 0 : what.rfind(": ") + 2);
        error = path + ":" + lineAndColumn(text, e.byte ? e.byte - 1 : 0) + ": not JSON: " + what;
        return false;
    }
    try {
        readDocument(root, challenge);
    } catch (const Fault &f) {
        error = f.where.empty() ? f.what : path + ": " + f.where + ": " + f.what;
        return false;
    }
    if (challenge.name.empty()) {
        const std::size_t slash = path.rfind('/');
        challenge.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    }
    // The start steps are a script: its reader checks them.
    std::istringstream steps(scriptForRun(challenge, Variation{}));
    std::vector<ScriptEvent> events;
    std::string scriptError;
    if (!parseScript(steps, path + ": start", events, scriptError)) {
        error = scriptError;
        return false;
    }
    return true;
}

bool loadChallenge(const std::string &path, Challenge &challenge, std::string &error)
{
    std::string text;
    return readFile(path, text, error) && parseChallenge(text, path, challenge, error);
}

} // namespace kxsim
