// The floor of a world as the camera's view asks about it, once for every
// floor pixel it traces: its reflectance at a point, and whether a rectangle
// of floor shows one reflectance all over (CameraScene::floorReflectance and
// floorUniform).
#ifndef KESTRIX_SIM_CAMERA_FLOOR_H
#define KESTRIX_SIM_CAMERA_FLOOR_H

#include "camera/camera_view.h"
#include "world/world.h"

#include <cstdint>
#include <vector>

namespace kxsim {

class FloorShade
{
public:
    // Keeps a reference to the world's zones and marks, which never move.
    explicit FloorShade(const World &world);

    // World::reflectanceAt, the same value at every point, found by testing
    // only what a grid over the field says may reach the point.
    double at(Point p) const { return at(p.x, p.y); }
    double at(double x, double y) const;

    // True when World::reflectanceAt gives the same value everywhere in
    // [x0, x1] x [y0, y1]: no zone's edge and no tape's edge passes within a
    // micrometre of it. False when unsure (a tape's corner, say).
    bool uniformOver(double x0, double y0, double x1, double y1) const;

    // Adds to `edges` the edges of every zone, area of tape and piece of a
    // line of tape that come within a micrometre of [x0, x1] x [y0, y1]
    // (CameraScene::floorEdges): a tape's piece as one band, a zone's and an
    // area's sides each as a segment.
    void edgesNear(double x0, double y0, double x1, double y1, std::vector<FloorEdge> &edges) const;

private:
    // A zone, an area of tape, or one straight piece of a line of tape, with
    // the rectangle it keeps within; numbered in the order reflectanceAt
    // paints them, so that the last that covers a point is the one seen.
    struct Item
    {
        enum class Kind : std::uint8_t { Zone, Area, Tape } kind;
        std::uint32_t owner;   // the zone or the mark
        std::uint32_t segment; // Tape: its piece of the line
        Rect bounds;
    };

    bool covers(const Item &item, Point p) const;
    static int cell(double offset, double inverse, int count)
    {
        // Truncation is the floor from zero up, and cheaper by far.
        const double at = offset * inverse;
        return !(at >= 0) ? 0 : at >= count ? count - 1 : int(at);
    }

    const World &m_world;
    std::vector<Item> m_items;
    Rect m_grid;
    int m_columns = 0, m_rows = 0;
    double m_inverseX = 0, m_inverseY = 0;
    std::vector<std::uint32_t> m_cellStart, m_cellItems;
    // By cell: whether all of it shows one reflectance, and which.
    std::vector<unsigned char> m_isPlain;
    std::vector<double> m_plain;
};

} // namespace kxsim

#endif
