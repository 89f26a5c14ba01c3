#include "report/plot.h"

#include "model/angles.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr double PixelsPerMetre = 400;
constexpr double Margin = 20;       // pixels around the field
constexpr double LegendHeight = 70; // pixels below it

std::string grey(double reflectance)
{
    const int level = int(std::lround(255 * std::clamp(reflectance, 0.0, 1.0)));
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", level, level, level);
    return text;
}

// The world's file name goes into the picture as text.
std::string escaped(const std::string &text)
{
    std::string result;
    for (char c : text) {
        switch (c) {
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '&': result += "&amp;"; break;
        case '\'': result += "&apos;"; break;
        default: result += c;
        }
    }
    return result;
}

struct Canvas
{
    std::FILE *file;
    double heightMetres;

    // The field's y axis points up, the picture's down.
    double px(double x) const { return Margin + x * PixelsPerMetre; }
    double py(double y) const { return Margin + (heightMetres - y) * PixelsPerMetre; }
    double len(double metres) const { return metres * PixelsPerMetre; }

    void rect(const Rect &r, const std::string &style) const
    {
        std::fprintf(file, "<rect x='%.1f' y='%.1f' width='%.1f' height='%.1f' %s/>\n", px(r.x0), py(r.y1),
                     len(r.x1 - r.x0), len(r.y1 - r.y0), style.c_str());
    }
};

std::string hex(const std::array<int, 3> &rgb)
{
    char text[16];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0] & 0xFF, rgb[1] & 0xFF, rgb[2] & 0xFF);
    return text;
}

// The robot's colour: the first of these that no piece, object or zone
// comes near, so that the robot never looks like something it pushes.
std::array<int, 3> robotColour(const World &world)
{
    static const std::array<int, 3> Candidates[] = {{224, 112, 0}, {140, 40, 200}, {0, 150, 150}, {230, 0, 140}};
    std::vector<std::array<int, 3>> used;
    for (const Piece &piece : world.pieces)
        used.push_back(piece.rgb);
    for (const ColouredObject &object : world.objects)
        used.push_back(object.rgb);
    for (const Zone &zone : world.zones)
        if (zone.rgb)
            used.push_back(*zone.rgb);
    for (const auto &candidate : Candidates) {
        bool clear = true;
        for (const auto &colour : used)
            clear = clear && std::abs(colour[0] - candidate[0]) + std::abs(colour[1] - candidate[1])
                                     + std::abs(colour[2] - candidate[2]) > 120;
        if (clear)
            return candidate;
    }
    return Candidates[0];
}

void drawPiece(const Canvas &canvas, const Piece &piece, double x, double y, double headingDeg, bool atStart)
{
    const std::string style = atStart ? "fill='" + hex(piece.rgb) + "' fill-opacity='0.2' stroke='#555' "
                                        "stroke-dasharray='3 2'"
                                      : "fill='" + hex(piece.rgb) + "' stroke='#222'";
    if (piece.shape == Piece::Shape::Disc) {
        std::fprintf(canvas.file, "<circle cx='%.1f' cy='%.1f' r='%.1f' %s/>\n", canvas.px(x), canvas.py(y),
                     canvas.len(piece.radius), style.c_str());
        return;
    }
    const double h = headingDeg * Pi / 180, c = std::cos(h), s = std::sin(h);
    std::fputs("<polygon points='", canvas.file);
    for (const auto &[u, v] : {std::pair{1, 1}, std::pair{-1, 1}, std::pair{-1, -1}, std::pair{1, -1}}) {
        const double dx = u * piece.length / 2, dy = v * piece.width / 2;
        std::fprintf(canvas.file, "%.1f,%.1f ", canvas.px(x + dx * c - dy * s), canvas.py(y + dx * s + dy * c));
    }
    std::fprintf(canvas.file, "' %s/>\n", style.c_str());
}

// Another robot of a match: its path, where it started and its end pose.
void drawRobot(const Canvas &canvas, const Physics &robot, const std::string &colour)
{
    std::fprintf(canvas.file, "<polyline fill='none' stroke='%s' stroke-width='2' points='", colour.c_str());
    for (const Pose &p : robot.path())
        std::fprintf(canvas.file, "%.1f,%.1f ", canvas.px(p.x), canvas.py(p.y));
    const Pose &end = robot.pose();
    std::fprintf(canvas.file, "%.1f,%.1f'/>\n", canvas.px(end.x), canvas.py(end.y));
    const Pose &start = robot.path().empty() ? end : robot.path().front();
    std::fprintf(canvas.file, "<circle cx='%.1f' cy='%.1f' r='5' fill='#20a040'/>\n", canvas.px(start.x),
                 canvas.py(start.y));
    const double radius = robot.described().radius, h = end.headingDeg * Pi / 180;
    std::fprintf(canvas.file,
                 "<circle cx='%.1f' cy='%.1f' r='%.1f' fill='%s' fill-opacity='0.35' stroke='%s' stroke-width='2'/>\n"
                 "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='%s' stroke-width='3'/>\n",
                 canvas.px(end.x), canvas.py(end.y), canvas.len(radius), colour.c_str(), colour.c_str(),
                 canvas.px(end.x), canvas.py(end.y), canvas.px(end.x + radius * 1.4 * std::cos(h)),
                 canvas.py(end.y + radius * 1.4 * std::sin(h)), colour.c_str());
}

} // namespace

bool writePlot(const std::string &path, const Physics &physics, std::string &error)
{
    return writePlot(path, std::vector<const Physics *>{&physics}, error);
}

bool writePlot(const std::string &path, const std::vector<const Physics *> &robots, std::string &error)
{
    const Physics &physics = *robots.front();
    const World &world = physics.world();
    const std::vector<Pose> &poses = physics.path();
    // Without a field the picture frames the path itself.
    double width = world.width, height = world.height, offsetX = 0, offsetY = 0;
    if (!physics.hasWorld()) {
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        for (const Pose &p : poses) {
            x0 = std::min(x0, p.x);
            y0 = std::min(y0, p.y);
            x1 = std::max(x1, p.x);
            y1 = std::max(y1, p.y);
        }
        offsetX = x0 - 0.5;
        offsetY = y0 - 0.5;
        width = x1 - x0 + 1;
        height = y1 - y0 + 1;
    }
    // Drawn under a temporary name beside the picture and renamed at the
    // end: a picture that cannot be written whole leaves none behind.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    std::FILE *file = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (file == nullptr) {
        error = "cannot write plot " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
        }
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    const Canvas canvas{file, height};
    const double totalWidth = 2 * Margin + width * PixelsPerMetre;
    const double totalHeight = 2 * Margin + height * PixelsPerMetre + LegendHeight + 20 * double(robots.size() - 1);
    std::fprintf(file,
                 "<?xml version='1.0' encoding='UTF-8'?>\n"
                 "<svg xmlns='http://www.w3.org/2000/svg' width='%.0f' height='%.0f' viewBox='0 0 %.0f %.0f' "
                 "font-family='sans-serif' font-size='13'>\n"
                 "<rect width='100%%' height='100%%' fill='#f4f4f8'/>\n",
                 totalWidth, totalHeight, totalWidth, totalHeight);
    std::fprintf(file, "<g transform='translate(%.1f %.1f)'>\n", -offsetX * PixelsPerMetre, offsetY * PixelsPerMetre);
    canvas.rect({0, 0, width, height}, "fill='" + grey(world.floorReflectance) + "' stroke='#888'");
    for (const Mark &mark : world.marks) {
        if (mark.kind == Mark::Kind::Area) {
            canvas.rect(mark.area, "fill='" + grey(mark.reflectance) + "'");
            continue;
        }
        std::fprintf(file, "<%s fill='none' stroke='%s' stroke-width='%.1f' stroke-linejoin='round' points='",
                     mark.closed ? "polygon" : "polyline", grey(mark.reflectance).c_str(), canvas.len(mark.width));
        for (const Point &p : mark.points)
            std::fprintf(file, "%.1f,%.1f ", canvas.px(p.x), canvas.py(p.y));
        std::fputs("'/>\n", file);
    }
    for (const Zone &zone : world.zones) {
        const std::string fill = zone.rgb ? hex(*zone.rgb) : zone.reflectance ? grey(*zone.reflectance) : "#7090c0";
        std::fputs("<polygon points='", file);
        for (const Point &p : zone.polygon)
            std::fprintf(file, "%.1f,%.1f ", canvas.px(p.x), canvas.py(p.y));
        std::fprintf(file, "' fill='%s' fill-opacity='0.45' stroke='%s'/>\n", fill.c_str(), fill.c_str());
        std::fprintf(file, "<text x='%.1f' y='%.1f' fill='#223'>%s</text>\n", canvas.px(zone.polygon[0].x) + 4,
                     canvas.py(zone.polygon[0].y) - 4, escaped(zone.name).c_str());
    }
    for (const Rect &box : world.boxes)
        canvas.rect(box, "fill='#8a6d4a' stroke='#4a3520'");
    for (const ColouredObject &object : world.objects) {
        char colour[16];
        std::snprintf(colour, sizeof colour, "#%02x%02x%02x", object.rgb[0], object.rgb[1], object.rgb[2]);
        canvas.rect(object.box, std::string("fill='") + colour + "' stroke='#222'");
    }
    for (const Segment &wall : world.walls)
        std::fprintf(file, "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='#3050a0' stroke-width='5' "
                           "stroke-linecap='round'/>\n",
                     canvas.px(wall.a.x), canvas.py(wall.a.y), canvas.px(wall.b.x), canvas.py(wall.b.y));

    // Every piece where it started, faint, and where it ended.
    const std::vector<Table::PieceState> ended = physics.pieces();
    for (std::size_t n = 0; n < world.pieces.size(); ++n) {
        const Piece &piece = world.pieces[n];
        drawPiece(canvas, piece, piece.start.x, piece.start.y, piece.start.headingDeg, true);
        if (n < ended.size())
            drawPiece(canvas, piece, ended[n].x, ended[n].y, ended[n].headingDeg, false);
    }

    // A robot alone takes a colour the field does not use; the robots of a
    // match their own.
    const auto colourOf = [&](std::size_t r) {
        return hex(robots.size() == 1 ? robotColour(world) : world.robot.colours[r]);
    };
    for (std::size_t r = robots.size(); r-- > 1;)
        drawRobot(canvas, *robots[r], colourOf(r));
    const std::string robot = colourOf(0);
    std::fprintf(file, "<polyline fill='none' stroke='%s' stroke-width='2' points='", robot.c_str());
    for (const Pose &p : poses)
        std::fprintf(file, "%.1f,%.1f ", canvas.px(p.x), canvas.py(p.y));
    std::fprintf(file, "%.1f,%.1f'/>\n", canvas.px(physics.pose().x), canvas.py(physics.pose().y));

    // A mark every few seconds along the path, numbered in seconds.
    for (std::size_t k = 0; k < physics.timeMarks().size(); ++k) {
        const Pose &mark = physics.timeMarks()[k];
        std::fprintf(file,
                     "<circle cx='%.1f' cy='%.1f' r='3' fill='#fff' stroke='%s' stroke-width='1.5'/>"
                     "<text x='%.1f' y='%.1f' font-size='10' fill='#333'>%.0f s</text>\n",
                     canvas.px(mark.x), canvas.py(mark.y), robot.c_str(), canvas.px(mark.x) + 5, canvas.py(mark.y) - 5,
                     double(k + 1) * Physics::TimeMarkSeconds);
    }
    const Pose start = poses.empty() ? physics.pose() : poses.front();
    const Pose end = physics.pose();
    const double radius = physics.described().radius;
    std::fprintf(file, "<circle cx='%.1f' cy='%.1f' r='5' fill='#20a040'/>\n", canvas.px(start.x), canvas.py(start.y));
    const double h = end.headingDeg * Pi / 180;
    std::fprintf(file,
                 "<circle cx='%.1f' cy='%.1f' r='%.1f' fill='%s' fill-opacity='0.35' stroke='%s' "
                 "stroke-width='2'/>\n<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='%s' "
                 "stroke-width='3'/>\n",
                 canvas.px(end.x), canvas.py(end.y), canvas.len(radius), robot.c_str(), robot.c_str(), canvas.px(end.x),
                 canvas.py(end.y),
                 canvas.px(end.x + radius * 1.4 * std::cos(h)), canvas.py(end.y + radius * 1.4 * std::sin(h)),
                 robot.c_str());
    std::fputs("</g>\n", file);

    // Legend and scale bar below the field.
    const double y = Margin + height * PixelsPerMetre + 25;
    std::fprintf(file,
                 "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='%s' stroke-width='2'/>"
                 "<text x='%.1f' y='%.1f'>path</text>\n"
                 "<circle cx='%.1f' cy='%.1f' r='5' fill='#20a040'/><text x='%.1f' y='%.1f'>start</text>\n"
                 "<circle cx='%.1f' cy='%.1f' r='7' fill='%s' fill-opacity='0.35' stroke='%s'/>"
                 "<text x='%.1f' y='%.1f'>end pose (%.2f m, %.2f m, %.0f deg)</text>\n",
                 Margin, y, Margin + 30, y, robot.c_str(), Margin + 36, y + 4, Margin + 90, y, Margin + 100, y + 4,
                 Margin + 160, y, robot.c_str(), robot.c_str(), Margin + 172, y + 4, end.x, end.y, end.headingDeg);
    double next = Margin + 420; // the next legend entry's place
    for (std::size_t r = 1; r < robots.size(); ++r) {
        const Pose &other = robots[r]->pose();
        std::fprintf(file,
                     "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='%s' stroke-width='2'/>"
                     "<text x='%.1f' y='%.1f'>robot %zu (%.2f m, %.2f m, %.0f deg)</text>\n",
                     Margin, y + 50 + 20 * double(r - 1), Margin + 30, y + 50 + 20 * double(r - 1),
                     colourOf(r).c_str(), Margin + 36, y + 54 + 20 * double(r - 1), r + 1, other.x, other.y,
                     other.headingDeg);
    }
    if (!world.walls.empty()) {
        std::fprintf(file,
                     "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='#3050a0' stroke-width='5'/>"
                     "<text x='%.1f' y='%.1f'>wall</text>\n",
                     next, y, next + 30, y, next + 36, y + 4);
        next += 80;
    }
    if (!world.marks.empty()) {
        std::fprintf(file,
                     "<rect x='%.1f' y='%.1f' width='24' height='10' fill='%s'/><text x='%.1f' y='%.1f'>floor mark</text>\n",
                     next, y - 5, grey(world.marks.front().reflectance).c_str(), next + 30, y + 4);
        next += 110;
    }
    if (!world.pieces.empty())
        std::fprintf(file,
                     "<rect x='%.1f' y='%.1f' width='10' height='10' fill='#888' fill-opacity='0.2' stroke='#555' "
                     "stroke-dasharray='3 2'/><text x='%.1f' y='%.1f'>a piece where it started</text>\n",
                     next, y - 5, next + 16, y + 4);
    const double bar = PixelsPerMetre * 0.5;
    std::fprintf(file,
                 "<line x1='%.1f' y1='%.1f' x2='%.1f' y2='%.1f' stroke='#000' stroke-width='2'/>"
                 "<text x='%.1f' y='%.1f'>0.5 m</text>\n"
                 "<text x='%.1f' y='%.1f' fill='#555'>%s, field %.2f m x %.2f m</text>\n</svg>\n",
                 Margin, y + 28, Margin + bar, y + 28, Margin + bar + 8, y + 32, Margin + bar + 80, y + 32,
                 physics.hasWorld() ? escaped(world.path.substr(world.path.rfind('/') + 1)).c_str() : "no world", width,
                 height);
    const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
    const int failure = errno;
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write plot " + path + ": " + std::strerror(written ? errno : failure);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace kxsim
