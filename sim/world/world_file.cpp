// Reading a world file: a page of JSON, checked key by key, every mistake
// reported with the file, its place and what was expected.
#include "world/world_reader.h"

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

namespace reading {

double Reader::coordinate(const json &value, const std::string &where, bool alongX) const
{
    return number(value, where, 0, alongX ? world.width : world.height);
}

Point Reader::point(const json &value, const std::string &where) const
{
    array(value, where, 2);
    return {coordinate(value[0], where + "[0]", true), coordinate(value[1], where + "[1]", false)};
}

Rect Reader::rect(const json &value, const std::string &where) const
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

void Reader::field(const json &root)
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

void Reader::marks(const json &list)
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

void Reader::walls(const json &list)
{
    array(list, "walls");
    for (std::size_t n = 0; n < list.size(); ++n) {
        const std::string where = "walls[" + std::to_string(n) + "]";
        array(list[n], where, 4);
        world.walls.push_back({point(json::array({list[n][0], list[n][1]}), where),
                               point(json::array({list[n][2], list[n][3]}), where)});
    }
}

void Reader::boxes(const json &list)
{
    array(list, "boxes");
    for (std::size_t n = 0; n < list.size(); ++n)
        world.boxes.push_back(rect(list[n], "boxes[" + std::to_string(n) + "]"));
}

void Reader::objects(const json &list)
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

void Reader::read(const json &root)
{
    onlyKeys(root, "top level",
             {"field", "marks", "walls", "boxes", "objects", "pieces", "zones", "robot", "robots", "realism"});
    field(root);
    world.robot.start = {world.width / 2, world.height / 2, 0};
    world.robot.starts = {world.robot.start};
    if (const json *list = optional(root, "marks"))
        marks(*list);
    if (const json *list = optional(root, "walls"))
        walls(*list);
    if (const json *list = optional(root, "boxes"))
        boxes(*list);
    if (const json *list = optional(root, "objects"))
        objects(*list);
    const json *one = optional(root, "robot"), *each = optional(root, "robots");
    if (one && each)
        throw Bad("top level", "\"robot\" and \"robots\" together: one describes every robot, the other each");
    if (one)
        robot(*one, world.robot, "robot", std::nullopt);
    if (each)
        robots(*each);
    if (const json *list = optional(root, "zones"))
        zones(*list);
    if (const json *r = optional(root, "realism"))
        realism(*r);
    if (const json *list = optional(root, "pieces"))
        pieces(*list);
}

} // namespace reading

namespace {

using namespace reading;

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
