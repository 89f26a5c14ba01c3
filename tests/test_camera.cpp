// The camera device holder, the camera device, capture and tracking through
// the C functions against the fake video device, and the simulator's view
// that feeds it.
#include "private/camera_p.h"
#include "private/camera_c_p.h"
#include "private/camera_capture_p.h"
#include "kestrix/ardrone.h"
#include "kestrix/camera.h"

#include "video/simulated_camera.h"
#include "video/fake_camera_config.h"
#include "camera/camera_floor.h"
#include "clock/fake_clock.h"
#include "video/fake_video.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

using Private::DeviceSingleton;

namespace {

// Counts its deletions in a counter that it shares with the test (the
// holder may delete it long after the test is over). Delivers one fixed
// frame once opened.
using Counter = std::shared_ptr<int>;

Counter counter()
{
    return std::make_shared<int>(0);
}

class CountingProvider : public Camera::InputProvider
{
public:
    explicit CountingProvider(Counter deleted)
        : m_deleted(std::move(deleted))
    {
    }
    ~CountingProvider() override { ++*m_deleted; }

    bool open(int number) override
    {
        ++opens;
        lastNumber = number;
        m_open = true;
        return true;
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    bool nextFrame(Camera::Frame &frame) override
    {
        if (!m_open)
            return false;
        frame = next;
        return true;
    }

    int opens = 0;
    int lastNumber = -1;
    Camera::Frame next;

private:
    Counter m_deleted;
    bool m_open = false;
};

// A 4 x 3 black frame with pure red pixels at the given places.
Camera::Frame frameWithRedAt(std::initializer_list<std::pair<int, int>> points)
{
    Camera::Frame frame;
    frame.width = 4;
    frame.height = 3;
    frame.rgb.assign(4 * 3 * 3, 0);
    for (const auto &point : points)
        frame.rgb[static_cast<std::size_t>((point.second * 4 + point.first) * 3)] = 255;
    return frame;
}

// The holder keeps its device and provider for the life of the process;
// every case here runs in a process of its own, and the first case below
// relies on coming first when the whole file runs in one.
TEST(CameraSingleton, FirstInstanceIsBuiltOnNoProviderAndThenKept)
{
    Camera::Device *first = DeviceSingleton::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->open(0));
    EXPECT_EQ(DeviceSingleton::instance(), first);
}

TEST(CameraSingleton, NewProviderGetsANewDeviceAndTheOldOneIsDeletedOnce)
{
    Counter oldDeleted = counter(), newDeleted = counter();
    DeviceSingleton::setInputProvider(new CountingProvider(oldDeleted));
    DeviceSingleton::instance();
    auto *provider = new CountingProvider(newDeleted);

    DeviceSingleton::setInputProvider(provider);
    Camera::Device *device = DeviceSingleton::instance();

    EXPECT_EQ(*oldDeleted, 1);
    EXPECT_EQ(*newDeleted, 0);
    EXPECT_TRUE(device->open(1));
    EXPECT_EQ(provider->opens, 1);
    EXPECT_EQ(DeviceSingleton::instance(), device);
}

TEST(CameraSingleton, NullProviderDropsBothAndTheNextDeviceHasNoSource)
{
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    DeviceSingleton::setInputProvider(provider);
    ASSERT_TRUE(DeviceSingleton::instance()->open(0));

    DeviceSingleton::setInputProvider(nullptr);

    EXPECT_EQ(*deleted, 1);
    Camera::Device *device = DeviceSingleton::instance();
    EXPECT_FALSE(device->isOpen());
    EXPECT_FALSE(device->open(0));
}

TEST(CameraSingleton, TwoProvidersInARowDeleteTheFirstOnly)
{
    Counter firstDeleted = counter(), secondDeleted = counter();
    DeviceSingleton::setInputProvider(new CountingProvider(firstDeleted));
    auto *second = new CountingProvider(secondDeleted);

    DeviceSingleton::setInputProvider(second);

    EXPECT_EQ(*firstDeleted, 1);
    EXPECT_EQ(*secondDeleted, 0);
    EXPECT_TRUE(DeviceSingleton::instance()->open(0));
    EXPECT_EQ(second->opens, 1);
}

TEST(CameraSingleton, HandingOverTheInstalledProviderAgainKeepsIt)
{
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    DeviceSingleton::setInputProvider(provider);
    DeviceSingleton::instance();

    DeviceSingleton::setInputProvider(provider);

    EXPECT_EQ(*deleted, 0);
    EXPECT_TRUE(DeviceSingleton::instance()->open(2)); // still alive and current
    EXPECT_EQ(provider->lastNumber, 2);
    DeviceSingleton::setInputProvider(nullptr);
    EXPECT_EQ(*deleted, 1);
}

// -------------------------------------------------------------------- device

TEST(CameraDevice, ChannelReportsTheCentreOfItsPixels)
{
    Counter deleted = counter();
    CountingProvider provider(deleted);
    provider.next = frameWithRedAt({{1, 1}, {3, 1}, {2, 2}, {2, 0}});
    Camera::Device device(&provider);
    Camera::Channel red;
    red.low[0] = 200;
    red.high[1] = 10;
    red.high[2] = 10;
    Camera::Channel green;
    green.low[1] = 200;
    device.setChannels({red, green});

    ASSERT_TRUE(device.open(0));
    ASSERT_TRUE(device.update());

    EXPECT_EQ(device.width(), 4);
    EXPECT_EQ(device.height(), 3);
    ASSERT_EQ(device.objectCount(0), 1);
    EXPECT_EQ(device.object(0, 0)->centerX, 2);
    EXPECT_EQ(device.object(0, 0)->centerY, 1);
    EXPECT_EQ(device.object(0, 0)->area, 4);
    EXPECT_EQ(device.objectCount(1), 0);
    EXPECT_EQ(device.object(1, 0), nullptr);
    EXPECT_EQ(device.object(0, 1), nullptr);
    EXPECT_EQ(device.objectCount(2), 0);
}

TEST(CameraDevice, DroneProviderHasNoFrames)
{
    Camera::ARDroneInputProvider drone;
    Camera::Device device(&drone);
    EXPECT_FALSE(device.open(1));
    EXPECT_FALSE(device.update());
    EXPECT_EQ(device.width(), 0);
}

TEST(CameraDevice, DestroyingTheDeviceLeavesItsProviderAlone)
{
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    auto *device = new Camera::Device(provider);
    ASSERT_TRUE(device->open(0));

    delete provider; // gone first, as when the holder swaps providers
    delete device;   // would touch freed memory if it closed its provider

    EXPECT_EQ(*deleted, 1);
}

TEST(CameraTracking, PlainStretchesConvertAndTrackAsPixelByPixel)
{
    // Stretches of a few colours, of every length, across the ends of rows
    // (rows of 114 bytes: each starts at another place in the eight-byte
    // steps), in and out of two channels.
    // Some alike in their first one or two bytes, so that a stretch may
    // seem to go on a byte or two too far.
    const unsigned char colours[6][3] = {{220, 30, 30}, {220, 30, 220}, {220, 200, 40},
                                         {30, 200, 40}, {30, 200, 200}, {10, 10, 10}};
    Camera::Frame plain;
    plain.width = 38;
    plain.height = 24;
    std::mt19937 random(9);
    for (int pixels = 0; pixels < plain.width * plain.height;) {
        const unsigned char *colour = colours[random() % 6];
        for (int n = static_cast<int>(random() % 40) + 1; n > 0 && pixels < plain.width * plain.height; --n, ++pixels)
            plain.rgb.insert(plain.rgb.end(), colour, colour + 3);
    }
    // The same with every other pixel off by one: no two neighbours alike,
    // every one in the same channels as before.
    Camera::Frame mottled = plain;
    for (std::size_t i = 0; i < mottled.rgb.size(); i += 6)
        mottled.rgb[i + 1] = static_cast<unsigned char>(mottled.rgb[i + 1] + (mottled.rgb[i + 1] < 128 ? 1 : -1));
    Camera::Tracker tracker;
    Camera::Channel red, green;
    red.space = Camera::Channel::Space::Hsv;
    red.low[0] = 350;
    red.high[0] = 10;
    red.low[1] = 100;
    green.low[1] = 150;
    green.high[0] = green.high[2] = 80;
    tracker.setChannels({red, green});
    std::vector<std::vector<Camera::Object>> fromPlain, fromMottled;
    tracker.track(plain, fromPlain);
    tracker.track(mottled, fromMottled);
    ASSERT_EQ(fromPlain.size(), 2u);
    EXPECT_GT(fromPlain[0].size() + fromPlain[1].size(), 10u);
    for (std::size_t c = 0; c < 2; ++c) {
        ASSERT_EQ(fromPlain[c].size(), fromMottled[c].size()) << "channel " << c;
        for (std::size_t i = 0; i < fromPlain[c].size(); ++i) {
            const Camera::Object &a = fromPlain[c][i], &b = fromMottled[c][i];
            EXPECT_TRUE(a.area == b.area && a.centerX == b.centerX && a.centerY == b.centerY && a.left == b.left
                        && a.top == b.top && a.right == b.right && a.bottom == b.bottom)
                << "channel " << c << " blob " << i;
        }
    }

    // Sent as YUYV, the stretches come back as each pair alone would.
    std::vector<unsigned char> yuyv(static_cast<std::size_t>(plain.width * plain.height * 2));
    kxsim::encodeYuyv(plain.rgb.data(), plain.width, plain.height, yuyv.data(), static_cast<std::size_t>(plain.width) * 2);
    Camera::Frame whole, pair;
    Camera::convertYuyv(yuyv.data(), plain.width, plain.height, static_cast<std::size_t>(plain.width) * 2, whole);
    for (std::size_t i = 0; i < yuyv.size(); i += 4) {
        Camera::convertYuyv(&yuyv[i], 2, 1, 4, pair);
        ASSERT_TRUE(std::equal(pair.rgb.begin(), pair.rgb.end(), whole.rgb.begin() + static_cast<long>(i / 4 * 6)))
            << "pair " << i / 4;
    }
}

// --------------------------------------------------------------- C interface

TEST(CameraC, WithoutACameraEverythingReportsNone)
{
    DeviceSingleton::setInputProvider(nullptr);

    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 0), 0);
    EXPECT_EQ(camera_update(), 0);
    EXPECT_EQ(get_camera_width(), 0);
    EXPECT_EQ(get_camera_height(), 0);
    EXPECT_EQ(get_channel_count(), 0);
    EXPECT_EQ(get_object_count(0), 0);
    EXPECT_EQ(get_object_count(-1), 0);
    EXPECT_EQ(get_object_center_x(0, 0), -1);
    EXPECT_EQ(get_object_center_y(0, 0), -1);
    EXPECT_EQ(get_object_center_x(-3, 99), -1);
    EXPECT_EQ(get_object_area(0, 0), 0);
    EXPECT_EQ(get_object_bbox_ulx(0, 0), -1);
    EXPECT_EQ(get_object_bbox_bry(0, 0), -1);
    EXPECT_EQ(get_object_confidence(0, 0), 0.0);
    EXPECT_EQ(get_camera_pixel(0, 0), -1);
    EXPECT_EQ(get_channel_index("ball"), -1);
    camera_close();
    camera_close();
    EXPECT_EQ(get_camera_width(), 0);
}

TEST(CameraC, DroneCameraOpenInstallsTheDroneSourceAndFails)
{
    Counter deleted = counter();
    DeviceSingleton::setInputProvider(new CountingProvider(deleted));

    EXPECT_EQ(drone_camera_open(2), 0);
    EXPECT_EQ(drone_camera_open(0), 0);

    EXPECT_EQ(*deleted, 1);
}


// ------------------------------------------------------ the simulated view

// A field at random for the view: tape and a patch on the floor, walls
// (those round the field sometimes), blocks, some of them against a wall or
// each other, and pieces of both shapes; the floor is a world's, so the
// world's own answer to whether a stretch of floor is plain is what the view
// relies on.
struct RandomField
{
    std::shared_ptr<kxsim::World> floor = std::make_shared<kxsim::World>();
    kxsim::CameraScene scene;
    std::vector<kxsim::CameraScene::Piece> pieces;
    kxsim::CameraMount mount;
};

RandomField randomField(std::mt19937 &random, int walls, int blocks, int pieces, double side = 4)
{
    auto within = [&random](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    auto colour = [&](unsigned char rgb[3]) {
        for (int i = 0; i < 3; ++i)
            rgb[i] = static_cast<unsigned char>(within(0, 255.99));
    };
    RandomField field;
    const double w = within(side * 0.4, side), h = within(side * 0.4, side);
    field.scene.fieldWidth = field.floor->width = w;
    field.scene.fieldHeight = field.floor->height = h;
    kxsim::Mark patch;
    patch.kind = kxsim::Mark::Kind::Area;
    patch.area = {within(0, w / 2), within(0, h / 2), within(w / 2, w), within(h / 2, h)};
    patch.reflectance = within(0, 1);
    kxsim::Mark tape;
    for (int i = 0; i < 4; ++i)
        tape.points.push_back({within(0, w), within(0, h)});
    tape.closed = within(0, 1) < 0.5;
    tape.width = within(0.01, 0.06);
    field.floor->marks = {patch, tape};
    kxsim::Zone zone; // any polygon of five corners, crossing itself or not
    for (int i = 0; i < 5; ++i)
        zone.polygon.push_back({within(0, w), within(0, h)});
    zone.reflectance = within(0, 1);
    field.floor->zones = {zone};
    field.scene.floorReflectance = [floor = field.floor](double x, double y) { return floor->reflectanceAt({x, y}); };
    const auto shade = std::make_shared<kxsim::FloorShade>(*field.floor);
    field.scene.floorUniform = [floor = field.floor, shade](double x0, double y0, double x1, double y1) {
        return shade->uniformOver(x0, y0, x1, y1);
    };
    field.scene.floorEdges = [floor = field.floor, shade](double x0, double y0, double x1, double y1,
                                                         std::vector<kxsim::FloorEdge> &edges) {
        shade->edgesNear(x0, y0, x1, y1, edges);
    };
    if (within(0, 1) < 0.7)
        field.scene.walls = {{0, 0, w, 0, 0.3}, {w, 0, w, h, 0.3}, {w, h, 0, h, 0.3}, {0, h, 0, 0, 0.3}};
    for (int i = 0; i < walls; ++i) {
        const double x = within(0, w), y = within(0, h);
        const double length = std::min(1.0, side / 8);
        field.scene.walls.push_back({x, y, std::clamp(x + within(-length, length), 0.0, w),
                                     std::clamp(y + within(-length, length), 0.0, h), within(0.05, 0.4)});
    }
    for (int i = 0; i < blocks; ++i) {
        kxsim::CameraScene::Block block{};
        block.x0 = within(0, w - 0.3);
        block.y0 = within(0, h - 0.3);
        if (i > 0 && within(0, 1) < 0.3) // face to face with the one before
            block.x0 = field.scene.blocks.back().x1;
        block.x1 = block.x0 + within(0.03, 0.3);
        block.y1 = block.y0 + within(0.03, 0.3);
        block.height = within(0.02, 0.35);
        colour(block.rgb);
        field.scene.blocks.push_back(block);
    }
    for (int i = 0; i < pieces; ++i) {
        kxsim::CameraScene::Piece piece;
        piece.shape = i % 2 ? kxsim::CameraScene::Piece::Shape::Disc : kxsim::CameraScene::Piece::Shape::Box;
        piece.x = within(0, w);
        piece.y = within(0, h);
        piece.halfLength = within(0.02, 0.15);
        piece.halfWidth = within(0.02, 0.15);
        piece.headingDeg = within(-180, 180);
        piece.radius = within(0.02, 0.12);
        piece.height = within(0.02, 0.2);
        piece.base = within(0, 1) < 0.3 ? within(0, 0.2) : 0; // held up by an arm
        colour(piece.rgb);
        field.pieces.push_back(piece);
    }
    field.mount = {within(-0.05, 0.1), within(-0.05, 0.05), within(0.05, 0.4), within(-30, 30), within(-60, 30),
                   within(30, 120)};
    return field;
}

// Renders `pictures` views of fields from `make` both ways, at poses and
// sizes at random, and says where the first picture that differs does;
// most pictures must have been painted in squares, not pixel by pixel.
template <typename Make>
void expectLikeThePlainWay(Make make, int fields, int pictures)
{
    long long painted = 0;
    std::mt19937 random(20240611);
    const int sizes[][2] = {{160, 120}, {97, 61}, {64, 48}};
    for (int f = 0; f < fields; ++f) {
        RandomField field = make(random);
        field.scene.movingPieces = [pieces = field.pieces](std::vector<kxsim::CameraScene::Piece> &out) { out = pieces; };
        kxsim::CameraView view(field.scene, field.mount);
        for (int p = 0; p < pictures; ++p) {
            const int *size = sizes[(f + p) % 3];
            std::uniform_real_distribution<double> x(0, field.scene.fieldWidth), y(0, field.scene.fieldHeight), turn(-180, 180);
            const kxsim::CameraPose pose{x(random), y(random), turn(random)};
            std::vector<unsigned char> fast(static_cast<std::size_t>(size[0] * size[1] * 3));
            std::vector<unsigned char> plain(fast.size());
            view.render(pose, fast.data(), size[0], size[1]);
            painted += view.lastWork().areasPainted > 0;
            kxsim::renderCamera(field.scene, field.mount, pose, plain.data(), size[0], size[1]);
            const auto differs = std::mismatch(fast.begin(), fast.end(), plain.begin());
            if (differs.first != fast.end()) {
                const long pixel = (differs.first - fast.begin()) / 3;
                ADD_FAILURE() << "field " << f << " picture " << p << ": pixel " << pixel % size[0] << ","
                              << pixel / size[0] << " of " << size[0] << "x" << size[1] << " differs";
                return;
            }
        }
    }
    EXPECT_GT(painted, fields * pictures / 2);
}

TEST(CameraView, PicturesAreThePlainRenderersPixelForPixel)
{
    expectLikeThePlainWay([](std::mt19937 &random) { return randomField(random, 3, 6, 4); }, 60, 3);
}

TEST(CameraView, AmongHundredsOfObstaclesPicturesAreThePlainRenderersToo)
{
    // Past the few that each picture places one by one: the grid's way.
    expectLikeThePlainWay([](std::mt19937 &random) { return randomField(random, 150, 100, 2, 12); }, 4, 4);
}

// A room of 2 x 2 m in the middle of a field of 300 x 300 m, with `outside`
// walls at random a metre or more away from it, and a red block inside.
kxsim::CameraScene roomAmongWalls(int outside)
{
    kxsim::CameraScene scene;
    scene.fieldWidth = scene.fieldHeight = 300;
    scene.floorReflectance = [](double, double) { return 0.9; };
    scene.floorUniform = [](double, double, double, double) { return true; };
    scene.walls = {{149, 149, 151, 149, 0.3}, {151, 149, 151, 151, 0.3}, {151, 151, 149, 151, 0.3}, {149, 151, 149, 149, 0.3}};
    scene.blocks.push_back({150.4, 149.9, 150.5, 150.0, 0.05, {208, 48, 48}});
    std::mt19937 random(5);
    std::uniform_real_distribution<double> place(0, 299.7), turn(0, 3.14159);
    while (static_cast<int>(scene.walls.size()) < outside + 4) {
        const double x = place(random), y = place(random), a = turn(random);
        if (std::fabs(x - 150) < 2.3 && std::fabs(y - 150) < 2.3)
            continue;
        scene.walls.push_back({x, y, x + 0.2 * std::cos(a), y + 0.2 * std::sin(a), 0.3});
    }
    return scene;
}

TEST(CameraView, WallsOutOfSightCostNothingHoweverManyTheyAre)
{
    kxsim::CameraMount mount;
    mount.pitchDeg = -10;
    kxsim::CameraView few(roomAmongWalls(1000), mount), many(roomAmongWalls(100000), mount);
    std::vector<unsigned char> seenFew(160 * 120 * 3), seenMany(seenFew.size()), plain(seenFew.size());
    for (double heading = 0; heading < 360; heading += 45) {
        const kxsim::CameraPose pose{150, 150, heading};
        few.render(pose, seenFew.data(), 160, 120);
        many.render(pose, seenMany.data(), 160, 120);
        kxsim::renderCamera(roomAmongWalls(0), mount, pose, plain.data(), 160, 120);
        EXPECT_TRUE(seenFew == plain && seenMany == plain) << "heading " << heading;
        // The plain way tests every wall at every pixel: 19200 x 100004.
        EXPECT_LT(many.lastWork().obstacleTests, 2 * few.lastWork().obstacleTests + 1000) << "heading " << heading;
        EXPECT_LT(many.lastWork().obstacleTests, 10 * 160 * 120) << "heading " << heading;
    }
}

// A piece filling much of the picture is painted in squares too: a disc's
// round side, whose top's front rim curves down across squares whose
// corners all show the side, its top, and a turned box's faces, seen from
// near and far, higher and lower (the lens just above the top as well),
// against the side of another piece and a wall behind. The random fields
// seldom come this close.
TEST(CameraView, PiecesCloseUpArePaintedInSquaresAndStayThePlainRenderers)
{
    kxsim::CameraScene scene;
    scene.fieldWidth = scene.fieldHeight = 2;
    scene.floorReflectance = [](double, double) { return 0.9; };
    scene.floorUniform = [](double, double, double, double) { return true; };
    scene.walls = {{1.6, 0.2, 1.6, 1.8, 0.3}};
    kxsim::CameraScene::Piece disc, box, behind;
    disc.shape = behind.shape = kxsim::CameraScene::Piece::Shape::Disc;
    disc.x = 1.0;
    disc.y = 1.0;
    disc.radius = 0.03;
    disc.height = 0.05;
    disc.rgb[0] = 208;
    disc.rgb[1] = disc.rgb[2] = 48;
    behind = disc;
    behind.x = 1.12;
    behind.y = 1.03;
    behind.height = 0.08;
    behind.rgb[1] = 160;
    box.x = 1.0;
    box.y = 0.9;
    box.halfLength = box.halfWidth = 0.025;
    box.headingDeg = 30;
    box.height = 0.05;
    box.rgb[1] = 160;
    const std::vector<kxsim::CameraScene::Piece> pieces = {disc, box, behind};
    long long rays = 0, painted = 0;
    std::vector<unsigned char> fast(160 * 120 * 3), plain(fast.size());
    for (double lens : {0.0502, 0.08, 0.15, 0.3}) {
        kxsim::CameraMount mount;
        mount.height = lens;
        mount.pitchDeg = -20;
        kxsim::CameraScene withPieces = scene;
        withPieces.movingPieces = [&pieces](std::vector<kxsim::CameraScene::Piece> &out) { out = pieces; };
        kxsim::CameraView view(withPieces, mount);
        for (double away = 0.06; away < 0.5; away += 0.037)
            for (double turn = -40; turn <= 40; turn += 8) {
                const double a = turn * 3.14159265358979 / 180;
                const kxsim::CameraPose pose{1.0 - away * std::cos(a), 0.95 - away * std::sin(a), turn};
                view.render(pose, fast.data(), 160, 120);
                rays += view.lastWork().rays;
                painted += view.lastWork().areasPainted;
                kxsim::renderCamera(withPieces, mount, pose, plain.data(), 160, 120);
                const auto differs = std::mismatch(fast.begin(), fast.end(), plain.begin());
                ASSERT_TRUE(differs.first == fast.end())
                    << "lens at " << lens << " m, " << away << " m away, turned " << turn << ": pixel "
                    << (differs.first - fast.begin()) / 3 % 160 << "," << (differs.first - fast.begin()) / 3 / 160;
            }
    }
    // Traced pixel by pixel, a piece this close would take most of them.
    EXPECT_LT(rays, 4 * 12 * 11 * 160 * 120 / 5);
    EXPECT_GT(painted, 4 * 12 * 11 * 20);
}

// A practice table's floor: start areas, a zone with a slanted side, tape
// along both axes and across, a patch. Seen from a robot's camera all over
// it, headings square to the tape's lines among them (a row of pixels then
// runs along an edge), the floor is painted row by row between its edges,
// and the pictures stay the plain renderer's.
TEST(CameraView, AFloorOfTapeAndZonesIsPaintedInRowsAndStaysThePlainRenderers)
{
    const auto world = std::make_shared<kxsim::World>();
    world->width = 2.4;
    world->height = 1.2;
    kxsim::Zone start, goal;
    start.polygon = {{0, 0.4}, {0.3, 0.4}, {0.3, 0.8}, {0, 0.8}};
    start.reflectance = 0.7;
    goal.polygon = {{1.0, 0.45}, {1.4, 0.45}, {1.5, 0.75}, {1.0, 0.75}};
    goal.reflectance = 0.55;
    world->zones = {start, goal};
    kxsim::Mark along, across, loop, patch;
    along.points = {{0.3, 0.6}, {1.0, 0.6}};
    across.points = {{1.2, 0.1}, {1.2, 0.45}};
    loop.points = {{1.7, 0.2}, {2.2, 0.3}, {2.0, 1.0}};
    loop.closed = true;
    along.width = across.width = loop.width = 0.02;
    patch.kind = kxsim::Mark::Kind::Area;
    patch.area = {0.5, 0.9, 0.8, 1.1};
    patch.reflectance = 0.2;
    world->marks = {along, across, loop, patch};
    const auto shade = std::make_shared<kxsim::FloorShade>(*world);
    kxsim::CameraScene scene;
    scene.fieldWidth = world->width;
    scene.fieldHeight = world->height;
    scene.walls = {{0, 0, 2.4, 0, 0.3}, {2.4, 0, 2.4, 1.2, 0.3}, {2.4, 1.2, 0, 1.2, 0.3}, {0, 1.2, 0, 0, 0.3}};
    scene.floorReflectance = [world](double x, double y) { return world->reflectanceAt({x, y}); };
    scene.floorUniform = [world, shade](double x0, double y0, double x1, double y1) { return shade->uniformOver(x0, y0, x1, y1); };
    kxsim::CameraScene traced = scene; // the same, every floor edge traced
    scene.floorEdges = [world, shade](double x0, double y0, double x1, double y1, std::vector<kxsim::FloorEdge> &edges) {
        shade->edgesNear(x0, y0, x1, y1, edges);
    };
    kxsim::CameraMount mount;
    mount.height = 0.15;
    mount.pitchDeg = -20;
    kxsim::CameraView inRows(scene, mount), byRays(traced, mount);
    std::vector<unsigned char> fast(160 * 120 * 3), plain(fast.size());
    long long rays = 0, raysTracingEdges = 0;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> turn(-180, 180);
    for (double x = 0.15; x < 2.4; x += 0.3)
        for (double y = 0.15; y < 1.2; y += 0.3)
            for (const double heading : {0.0, 90.0, 180.0, -90.0, turn(random), turn(random)}) {
                const kxsim::CameraPose pose{x, y, heading};
                inRows.render(pose, fast.data(), 160, 120);
                rays += inRows.lastWork().rays;
                byRays.render(pose, plain.data(), 160, 120);
                raysTracingEdges += byRays.lastWork().rays;
                ASSERT_TRUE(fast == plain) << "at " << x << ", " << y << " heading " << heading;
                kxsim::renderCamera(scene, mount, pose, plain.data(), 160, 120);
                const auto differs = std::mismatch(fast.begin(), fast.end(), plain.begin());
                ASSERT_TRUE(differs.first == fast.end()) << "at " << x << ", " << y << " heading " << heading << ": pixel "
                    << (differs.first - fast.begin()) / 3 % 160 << "," << (differs.first - fast.begin()) / 3 / 160;
            }
    EXPECT_LT(rays, raysTracingEdges / 2);
}

// The camera asks the floor for its shade at every floor pixel it traces, and
// whether a square of floor is plain: the shade is the world's own, and a
// stretch called plain is plain throughout.
TEST(CameraFloor, TheShadeIsTheWorldsAndAStretchCalledPlainIsPlainThroughout)
{
    kxsim::World world;
    world.width = world.height = 2;
    kxsim::Mark patch;
    patch.kind = kxsim::Mark::Kind::Area;
    patch.area = {0.2, 0.2, 0.8, 0.6};
    patch.reflectance = 0.3;
    kxsim::Mark tape;
    tape.points = {{0.3, 1.0}, {1.7, 1.0}, {1.7, 1.8}};
    tape.width = 0.05;
    world.marks = {patch, tape};
    // Zones the sensors see: a rectangle and a triangle.
    kxsim::Zone square, corner;
    square.polygon = {{0.02, 1.2}, {0.25, 1.2}, {0.25, 1.5}, {0.02, 1.5}};
    square.reflectance = 0.5;
    corner.polygon = {{1.0, 1.5}, {1.4, 1.5}, {1.0, 1.8}};
    corner.reflectance = 0.6;
    world.zones = {square, corner};
    const kxsim::FloorShade shade(world);
    auto plainOver = [&shade](double x0, double y0, double x1, double y1) { return shade.uniformOver(x0, y0, x1, y1); };
    EXPECT_TRUE(plainOver(0.05, 1.25, 0.2, 1.45)) << "inside the square zone";
    EXPECT_FALSE(plainOver(0.2, 1.25, 0.3, 1.45)) << "across the square zone's edge";
    EXPECT_FALSE(plainOver(1.15, 1.6, 1.25, 1.7)) << "across the triangle's slope";
    EXPECT_TRUE(plainOver(1.02, 1.52, 1.1, 1.6)) << "inside the triangle";
    EXPECT_TRUE(plainOver(1.3, 1.7, 1.38, 1.78)) << "beside the triangle, within its bounds";
    // Inside the patch, on the tape, on bare floor: plain; across an edge: not.
    EXPECT_TRUE(plainOver(0.3, 0.3, 0.7, 0.5));
    EXPECT_TRUE(plainOver(0.5, 0.99, 0.6, 1.01));
    EXPECT_TRUE(plainOver(1.0, 0.1, 1.9, 0.9));
    EXPECT_FALSE(plainOver(0.7, 0.5, 0.9, 0.7));
    EXPECT_FALSE(plainOver(0.5, 0.97, 0.6, 1.03));

    std::mt19937 random(11);
    std::uniform_real_distribution<double> at(0, 2), size(0.001, 0.3), share(0, 1);
    int plain = 0;
    for (int i = 0; i < 20000; ++i) {
        const double x0 = at(random), y0 = at(random), x1 = x0 + size(random), y1 = y0 + size(random);
        if (!plainOver(x0, y0, x1, y1))
            continue;
        ++plain;
        const double first = world.reflectanceAt({x0, y0});
        for (int k = 0; k < 50; ++k) {
            const kxsim::Point p{x0 + share(random) * (x1 - x0), y0 + share(random) * (y1 - y0)};
            ASSERT_EQ(world.reflectanceAt(p), first) << "[" << x0 << ", " << y0 << ", " << x1 << ", " << y1 << "] at "
                                                     << p.x << ", " << p.y;
        }
        ASSERT_EQ(world.reflectanceAt({x1, y1}), first);
    }
    EXPECT_GT(plain, 5000); // most are, on this floor

    // The shade at any point, on or off the field, near the edges of tape
    // and zones above all.
    std::uniform_real_distribution<double> anywhere(-0.5, 2.5), near(-0.03, 0.03);
    const kxsim::Point edges[] = {{0.3, 1.0}, {1.7, 1.8}, {0.25, 1.3}, {1.2, 1.65}, {0.8, 0.6}, {1.7, 1.0}};
    for (int i = 0; i < 200000; ++i) {
        const kxsim::Point edge = edges[i % 6];
        const kxsim::Point p = i % 2 ? kxsim::Point{anywhere(random), anywhere(random)}
                                     : kxsim::Point{edge.x + near(random), edge.y + near(random)};
        ASSERT_EQ(shade.at(p), world.reflectanceAt(p)) << p.x << ", " << p.y;
    }
}

TEST(SimulatedCamera, PlainStretchesAreSentAsEachPairAloneWouldBe)
{
    // Stretches of a few colours, their lengths odd and even, across rows.
    std::mt19937 random(3);
    const int width = 64, height = 8;
    std::vector<unsigned char> rgb(width * height * 3);
    for (std::size_t i = 0; i < rgb.size();) {
        const unsigned char colour[3] = {static_cast<unsigned char>(random() % 4 * 80), 200, static_cast<unsigned char>(random() % 2 * 255)};
        for (std::size_t n = random() % 20 + 1; n > 0 && i < rgb.size(); --n, i += 3)
            std::copy(colour, colour + 3, rgb.begin() + static_cast<long>(i));
    }
    std::vector<unsigned char> whole(width * height * 2), alone(whole.size());
    kxsim::encodeYuyv(rgb.data(), width, height, whole.data(), width * 2);
    for (int pair = 0; pair < width * height / 2; ++pair)
        kxsim::encodeYuyv(&rgb[static_cast<std::size_t>(pair) * 6], 2, 1, &alone[static_cast<std::size_t>(pair) * 4], 4);
    EXPECT_EQ(whole, alone);
}

// --------------------------------------------------- capture and tracking

// An RGB picture that a test paints and the fake camera sends as YUYV.
// Coloured edges sit on even columns: neighbours share their chroma.
struct Canvas
{
    Canvas(int w, int h)
        : width(w), height(h), rgb(static_cast<std::size_t>(w * h * 3), 0)
    {
    }
    void fill(int x, int y, int w, int h, unsigned colour)
    {
        for (int row = y; row < y + h; ++row)
            for (int column = x; column < x + w; ++column) {
                unsigned char *pixel = &rgb[static_cast<std::size_t>((row * width + column) * 3)];
                pixel[0] = static_cast<unsigned char>(colour >> 16);
                pixel[1] = static_cast<unsigned char>(colour >> 8);
                pixel[2] = static_cast<unsigned char>(colour);
            }
    }
    int width, height;
    std::vector<unsigned char> rgb;
};

using Painter = std::function<void(Canvas &, std::uint32_t sequence)>;

constexpr unsigned Red = 0xe01010, Green = 0x10d020, White = 0xffffff;

struct Blob
{
    int area, centerX, centerY, left, top, right, bottom;
};

std::vector<Blob> blobs(int channel)
{
    std::vector<Blob> found;
    for (int i = 0; i < get_object_count(channel); ++i)
        found.push_back({get_object_area(channel, i), get_object_center_x(channel, i), get_object_center_y(channel, i),
                         get_object_bbox_ulx(channel, i), get_object_bbox_uly(channel, i),
                         get_object_bbox_brx(channel, i), get_object_bbox_bry(channel, i)});
    return found;
}

bool operator==(const Blob &a, const Blob &b)
{
    return a.area == b.area && a.centerX == b.centerX && a.centerY == b.centerY && a.left == b.left && a.top == b.top
        && a.right == b.right && a.bottom == b.bottom;
}

std::ostream &operator<<(std::ostream &out, const Blob &b)
{
    return out << "{area " << b.area << " centre " << b.centerX << "," << b.centerY << " box " << b.left << ","
               << b.top << "-" << b.right << "," << b.bottom << "}";
}

int countEntries(const char *folder)
{
    int count = 0;
    if (DIR *dir = ::opendir(folder)) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

int countLinesWith(const char *path, const std::string &text)
{
    std::ifstream file(path);
    std::string line;
    int count = 0;
    while (std::getline(file, line))
        count += line.find(text) != std::string::npos;
    return count;
}

class CameraCapture : public ScratchFolder
{
protected:
    CameraCapture() : ScratchFolder("kestrix-camera") {}

    void SetUp() override
    {
        ScratchFolder::SetUp();
        if (HasFatalFailure())
            return;
        kxsim::FakeCameraConfig::instance().serveFrom(m_folder);
        DeviceSingleton::setInputProvider(nullptr);
        video().reset();
        // Fast enough that waiting for a picture costs the tests nothing.
        video().plugIn(0, 500);
    }
    void TearDown() override
    {
        camera_close();
        kxsim::FakeCameraConfig::instance().serveFrom("");
        ScratchFolder::TearDown();
    }
    static kxsim::FakeVideo &video() { return kxsim::FakeVideo::instance(); }
    static void paint(Painter painter)
    {
        video().setFrameSource([painter](unsigned char *yuyv, int width, int height, std::size_t bytesPerLine,
                                         std::uint32_t sequence) {
            Canvas canvas(width, height);
            painter(canvas, sequence);
            kxsim::encodeYuyv(canvas.rgb.data(), width, height, yuyv, bytesPerLine);
        });
    }
};

TEST_F(CameraCapture, ASessionFollowsTheDriverProtocolAndGivesEverythingBack)
{
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 1), 1);
    // The open fixes the size: known before the first frame.
    EXPECT_EQ(get_camera_width(), 320);
    EXPECT_EQ(get_camera_height(), 240);
    ASSERT_EQ(camera_update(), 1);
    EXPECT_EQ(get_camera_width(), 320);
    EXPECT_EQ(get_camera_height(), 240);
    camera_close();

    const std::vector<std::string> opening{
        "open", "QUERYCAP", "ENUM_FMT", "ENUM_FMT!", "S_FMT", "G_PARM", "REQBUFS",
        "QUERYBUF", "mmap", "QUERYBUF", "mmap", "QUERYBUF", "mmap", "QUERYBUF", "mmap",
        "QBUF", "QBUF", "QBUF", "QBUF", "STREAMON"};
    const std::vector<std::string> closing{"STREAMOFF", "munmap", "munmap", "munmap", "munmap", "REQBUFS", "close"};
    const std::vector<std::string> log = video().log();
    ASSERT_GT(log.size(), opening.size() + closing.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + static_cast<long>(opening.size())), opening);
    EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<long>(closing.size()), log.end()), closing);
    // Between them only the capture loop: waiting, taking and giving back.
    for (auto it = log.begin() + static_cast<long>(opening.size()); it != log.end() - static_cast<long>(closing.size()); ++it)
        EXPECT_TRUE(*it == "poll" || *it == "DQBUF" || *it == "DQBUF!" || *it == "QBUF") << *it;
    EXPECT_EQ(video().openDescriptors(), 0);
    EXPECT_EQ(video().liveMappings(), 0);
    EXPECT_FALSE(video().streaming());
}

TEST_F(CameraCapture, FindsEveryBlobOfTwoChannelsLargestFirst)
{
    write("1.conf", "hsv 350 10 150 255 100 255 name red\nrgb 0 80 150 255 0 90 name green\n");
    paint([](Canvas &c, std::uint32_t) {
        c.fill(10, 20, 40, 30, Red);      // 1200 pixels
        c.fill(100, 100, 20, 10, Red);    // a U: two legs and a foot
        c.fill(100, 110, 6, 20, Red);
        c.fill(114, 110, 6, 20, Red);     // 200 + 120 + 120 = 440
        c.fill(200, 50, 2, 1, Green);     // a diagonal staircase: 8-connected
        c.fill(202, 51, 2, 1, Green);
        c.fill(204, 52, 2, 1, Green);
        c.fill(250, 200, 60, 30, Green);  // 1800
        c.fill(300, 10, 8, 8, White);     // no channel's colour
    });
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 1), 1);
    ASSERT_EQ(camera_update(), 1);

    EXPECT_EQ(get_channel_count(), 2);
    EXPECT_EQ(get_channel_index("green"), 1);
    const std::vector<Blob> red{{1200, 29, 34, 10, 20, 49, 49}, {440, 109, 112, 100, 100, 119, 129}};
    const std::vector<Blob> green{{1800, 279, 214, 250, 200, 309, 229}, {6, 202, 51, 200, 50, 205, 52}};
    EXPECT_EQ(blobs(0), red);
    EXPECT_EQ(blobs(1), green);
    EXPECT_DOUBLE_EQ(get_object_confidence(0, 0), 1.0);
    EXPECT_DOUBLE_EQ(get_object_confidence(0, 1), 440.0 / 600.0);
    EXPECT_DOUBLE_EQ(get_object_confidence(1, 1), 6.0 / 18.0);
    EXPECT_EQ(get_camera_pixel(303, 13), 0xffffff);
    EXPECT_EQ(get_camera_pixel(0, 0), 0);
    EXPECT_EQ(get_camera_pixel(320, 0), -1);
    EXPECT_EQ(get_object_count(2), 0);
    EXPECT_EQ(get_object_area(0, 2), 0);
}

TEST_F(CameraCapture, HueRangeWrapsThroughRedAndSmallBlobsAreLeftOut)
{
    write("1.conf", "hsv 340 20 100 255 100 255 min_area 20\n");
    paint([](Canvas &c, std::uint32_t) {
        c.fill(0, 0, 10, 10, 0xe0103c);    // hue about 350: in
        c.fill(20, 0, 10, 10, 0xe03c10);   // about 10: in
        c.fill(40, 0, 10, 10, 0xe09010);   // about 38: out
        c.fill(60, 0, 10, 10, 0xc010e0);   // about 285: out
        c.fill(80, 0, 4, 5, 0xe01010);     // 0 but 20 pixels: in, just
        c.fill(100, 0, 2, 9, 0xe01010);    // 18 pixels: under the minimum
    });
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);

    const std::vector<Blob> expected{{100, 4, 4, 0, 0, 9, 9}, {100, 24, 4, 20, 0, 29, 9}, {20, 81, 2, 80, 0, 83, 4}};
    EXPECT_EQ(blobs(0), expected);
}

TEST_F(CameraCapture, OnePixelAndWholeFrameBlobs)
{
    write("1.conf", "rgb 200 255 200 255 200 255\nrgb 0 40 0 40 0 40 name dark\n");
    paint([](Canvas &c, std::uint32_t) { c.fill(77, 33, 1, 1, White); });
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);

    EXPECT_EQ(blobs(0), (std::vector<Blob>{{1, 77, 33, 77, 33, 77, 33}}));
    EXPECT_DOUBLE_EQ(get_object_confidence(0, 0), 1.0);
    // The rest of the frame is one blob with a hole in it.
    EXPECT_EQ(blobs(1), (std::vector<Blob>{{160 * 120 - 1, 79, 59, 0, 0, 159, 119}}));

    paint([](Canvas &, std::uint32_t) {});
    ASSERT_EQ(camera_update(), 1);
    EXPECT_EQ(get_object_count(0), 0);
    EXPECT_EQ(blobs(1), (std::vector<Blob>{{160 * 120, 79, 59, 0, 0, 159, 119}}));
}

TEST_F(CameraCapture, TakesTheNewestFrameNotTheOnesThatWaited)
{
    // The frame's number is painted as the place of a white mark.
    std::atomic<std::uint32_t> newest{0};
    paint([&newest](Canvas &c, std::uint32_t sequence) {
        c.fill(static_cast<int>(sequence % 160), static_cast<int>(sequence / 160 % 120), 1, 1, White);
        newest = sequence;
    });
    video().plugIn(0, 100);
    write("1.conf", "rgb 200 255 200 255 200 255\n");
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);

    for (int round = 0; round < 3; ++round) {
        const std::uint32_t before = newest;
        // Long enough for every buffer to fill with old frames and for
        // later ones to be dropped.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(camera_update(), 1);
        ASSERT_EQ(get_object_count(0), 1);
        const int seen = get_object_center_y(0, 0) * 160 + get_object_center_x(0, 0);
        // The newest, or the one before if another came while it was taken.
        EXPECT_GE(seen, static_cast<int>(newest) - 1) << "round " << round;
        EXPECT_GT(seen, static_cast<int>(before) + Camera::CaptureInputProvider::BufferCount) << "round " << round;
    }
}

TEST_F(CameraCapture, ACameraWithOnlyCompressedVideoIsRefusedWithAReason)
{
    video().setCompressedOnly(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 2), 0);
    const std::string said = testing::internal::GetCapturedStderr();

    EXPECT_NE(said.find("/dev/video0"), std::string::npos) << said;
    EXPECT_NE(said.find("MJPG"), std::string::npos) << said;
    EXPECT_NE(said.find("compressed"), std::string::npos) << said;
    EXPECT_EQ(camera_update(), 0);
    EXPECT_EQ(get_camera_width(), 0);
    EXPECT_EQ(video().openDescriptors(), 0);
    EXPECT_EQ(video().liveMappings(), 0);
}

TEST_F(CameraCapture, UnpluggedMidCaptureReportsNoneUntilOpenedAgain)
{
    write("1.conf", "rgb 200 255 0 80 0 80\n");
    paint([](Canvas &c, std::uint32_t) { c.fill(10, 10, 20, 20, Red); });
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);
    ASSERT_EQ(get_object_count(0), 1);

    video().unplug();
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera_update(), 0);
    EXPECT_EQ(camera_update(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_NE(said.find("No such device"), std::string::npos) << said;
    EXPECT_EQ(get_object_count(0), 0);
    EXPECT_EQ(get_object_center_x(0, 0), -1);
    EXPECT_EQ(get_camera_width(), 0);
    // The lost device was let go at once: nothing waits for camera_close.
    EXPECT_EQ(video().openDescriptors(), 0);
    EXPECT_EQ(video().liveMappings(), 0);
    camera_close();
    camera_close();
    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 0), 0);

    video().plugIn(0, 500);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);
    EXPECT_EQ(get_object_count(0), 1);
}

TEST_F(CameraCapture, OpeningAndClosingAThousandTimesLeaksNothing)
{
    const auto openSession = [] {
        ASSERT_EQ(camera_open_device_model_at_res(0, 0, 2), 1);
        ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1); // twice: the first is closed
        camera_close();
        camera_close();
    };
    // The first ones grow what is kept for good, the fake's log of the last
    // calls among it.
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i)
        openSession();
    const int descriptors = countEntries("/proc/self/fd");
    // In use on the heap and in blocks of their own: which of the two a big
    // buffer comes from depends on what the process freed before.
    const auto inUse = [] {
        const struct mallinfo2 now = mallinfo2();
        return now.uordblks + now.hblkhd;
    };
    const std::size_t heap = inUse();

    for (int i = 0; i < 1000 && !HasFatalFailure(); ++i)
        openSession();

    EXPECT_EQ(countEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(countLinesWith("/proc/self/maps", "kestrix-fake-video"), 0);
    EXPECT_LT(inUse(), heap + 16 * 1024);
    EXPECT_EQ(video().openDescriptors(), 0);
    EXPECT_EQ(video().liveMappings(), 0);
}

TEST_F(CameraCapture, UnknownResolutionCodesAndMissingDevicesOpenNothing)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 3), 0);
    EXPECT_EQ(camera_open_device_model_at_res(0, 0, -1), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("resolution"), std::string::npos) << said;
    EXPECT_EQ(camera_open_device_model_at_res(1, 0, 0), 0);
    EXPECT_EQ(camera_open_device_model_at_res(-1, 0, 0), 0);
    EXPECT_EQ(video().openDescriptors(), 0);
    EXPECT_EQ(camera_open_device_model_at_res(0, 7, 2), 1); // any model
    EXPECT_EQ(video().width(), 640);
}

TEST_F(CameraCapture, ChannelsLoadedBeforeOpeningSurviveTheSwitchFromTheDrone)
{
    write("1.conf", "rgb 200 255 0 80 0 80 name red\n");
    paint([](Canvas &c, std::uint32_t) { c.fill(10, 10, 20, 20, Red); });
    EXPECT_EQ(drone_camera_open(0), 0);
    ASSERT_EQ(camera_load_config("1"), 1);

    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);
    EXPECT_EQ(get_channel_index("red"), 0);
    EXPECT_EQ(blobs(0), (std::vector<Blob>{{400, 19, 19, 10, 10, 29, 29}}));
}

TEST_F(CameraCapture, ASimulatedCameraSeesABlockMoveAgainstTheTurn)
{
    kxsim::SimulatedCamera camera;
    camera.framesPerSecond = 60;
    camera.scene.fieldWidth = camera.scene.fieldHeight = 2;
    camera.scene.floorReflectance = [](double x, double) { return x < 1.0 ? 0.9 : 0.3; };
    camera.scene.blocks.push_back({1.4, 0.9, 1.6, 1.1, 0.1, {208, 48, 48}});
    camera.scene.walls.push_back({2, 0, 2, 2, 0.3});
    camera.configs["1"] = "hsv 345 15 120 255 80 255 name block\n";
    std::atomic<double> heading{0};
    std::string error;
    ASSERT_TRUE(kxsim::startSimulatedCamera(camera, [&heading] { return kxsim::CameraPose{0.5, 1.0, heading.load()}; },
                                            file("sim"), error))
        << error;
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 1), 1);

    // After the turn every picture taken before it is more than two periods
    // (33 ms) old, which camera_update never takes for the newest: it waits
    // for one taken after the turn. A busy host only makes them older.
    std::vector<int> centres;
    for (double turn : {-10.0, 0.0, 10.0}) {
        heading = turn;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(camera_update(), 1);
        ASSERT_EQ(get_object_count(0), 1) << "heading " << turn;
        centres.push_back(get_object_center_x(0, 0));
        EXPECT_GT(get_object_confidence(0, 0), 0.6);
    }
    // Dead ahead in the middle; a left turn puts it to the right.
    EXPECT_NEAR(centres[1], 160, 3);
    EXPECT_LT(centres[0], centres[1] - 20);
    EXPECT_GT(centres[2], centres[1] + 20);
}

TEST_F(CameraCapture, ASimulatedCameraFollowsAMovingPieceAndLosesItBehindAWall)
{
    kxsim::SimulatedCamera camera;
    camera.framesPerSecond = 60;
    camera.scene.fieldWidth = 3;
    camera.scene.fieldHeight = 2;
    camera.scene.floorReflectance = [](double, double) { return 0.9; };
    camera.scene.walls.push_back({1.5, 1.1, 1.5, 1.5, 0.3});
    camera.mount.pitchDeg = 0;
    // A red box 10 cm a side, 8 cm tall, where the test puts it.
    struct Place
    {
        double x, y, headingDeg, base = 0;
    };
    struct Shared
    {
        std::mutex lock;
        Place place{1.2, 1.0, 0};
    };
    auto shared = std::make_shared<Shared>();
    camera.scene.movingPieces = [shared](std::vector<kxsim::CameraScene::Piece> &pieces) {
        kxsim::CameraScene::Piece box;
        Place now;
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            now = shared->place;
        }
        box.x = now.x;
        box.y = now.y;
        box.headingDeg = now.headingDeg;
        box.base = now.base;
        box.halfLength = box.halfWidth = 0.05;
        box.height = 0.08;
        box.rgb[0] = 208;
        box.rgb[1] = box.rgb[2] = 48;
        pieces.push_back(box);
    };
    camera.configs["1"] = "hsv 345 15 120 255 80 255 name piece\n";
    std::string error;
    ASSERT_TRUE(kxsim::startSimulatedCamera(camera, [] { return kxsim::CameraPose{0.5, 1.0, 0}; }, file("sim"), error))
        << error;
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 1), 1);
    auto seeAt = [&](Place where) {
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->place = where;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40)); // a picture taken since
        return camera_update() == 1 ? blobs(0) : std::vector<Blob>{{-1, -1, -1, -1, -1, -1, -1}};
    };

    // Dead ahead, its near face 0.6 m from the lens: 0.1 m is 46 pixels
    // (160 / tan 30 degrees a metre at a metre).
    const std::vector<Blob> ahead = seeAt({1.2, 1.0, 0});
    ASSERT_EQ(ahead.size(), 1u);
    EXPECT_NEAR(ahead[0].centerX, 160, 2);
    EXPECT_NEAR(ahead[0].right - ahead[0].left + 1, 46, 3);
    // Moved right, then turned by 45 degrees: a corner ahead, the diagonal
    // across (0.14 m at 0.65 m: about 60 pixels).
    const std::vector<Blob> right = seeAt({1.2, 0.85, 0});
    ASSERT_EQ(right.size(), 1u);
    EXPECT_GT(right[0].centerX, ahead[0].centerX + 50);
    const std::vector<Blob> turned = seeAt({1.2, 1.0, 45});
    ASSERT_EQ(turned.size(), 1u);
    EXPECT_NEAR(turned[0].right - turned[0].left + 1, 60, 4);
    // Lifted 10 cm by an arm, it shows 10 cm higher: at 0.6 m, 46 pixels
    // further up the picture, and as wide.
    const std::vector<Blob> lifted = seeAt({1.2, 1.0, 0, 0.1});
    ASSERT_EQ(lifted.size(), 1u);
    EXPECT_NEAR(ahead[0].centerY - lifted[0].centerY, 46, 4);
    EXPECT_NEAR(lifted[0].right - lifted[0].left + 1, 46, 3);
    // Behind the wall nothing of it shows; as far off on the open side it
    // does.
    EXPECT_EQ(seeAt({2.0, 1.3, 0}).size(), 0u);
    EXPECT_EQ(seeAt({2.0, 0.7, 0}).size(), 1u);
}

TEST_F(CameraCapture, ASimulatedCameraAmongAHundredThousandWallsKeepsItsFrameRate)
{
    kxsim::SimulatedCamera camera;
    camera.framesPerSecond = 100;
    camera.scene = roomAmongWalls(100000);
    camera.configs["1"] = "hsv 345 15 120 255 80 255 name block\n";
    std::string error;
    ASSERT_TRUE(kxsim::startSimulatedCamera(camera, [] { return kxsim::CameraPose{150, 150, 0}; }, file("sim"), error))
        << error;
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);

    // 0.2 s of pictures; every pixel's ray against every wall took over 20 s
    // a picture.
    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < 20; ++frame) {
        ASSERT_EQ(camera_update(), 1);
        EXPECT_EQ(get_object_count(0), 1);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(CameraCapture, UnderVirtualTimeFramesComeAtTheCamerasRate)
{
    video().plugIn(0, 30);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    // This thread reads the clock as a program's under the simulator does
    // (a test's threads keep the C library's clock): the camera's pictures,
    // the library's waits and the measurement below all go by the virtual
    // clock, which a busy host cannot stretch.
    kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Virtual);
    kxsim::setThreadKind(kxsim::ThreadKind::Program);
    timespec start{}, end{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    int frames = 0;
    for (int i = 0; i < 30; ++i)
        frames += camera_update();
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    kxsim::setThreadKind(kxsim::ThreadKind::Unknown);
    kxsim::Clock::instance().setMode(kxsim::Clock::Mode::Real);

    EXPECT_EQ(frames, 30);
    // Each update waits for the next picture: one period of the program's
    // clock, which the camera's timestamps follow too (or every picture
    // would look stale or none would come).
    EXPECT_NEAR(double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9, 1.0, 0.1);
}

// ------------------------------------------------------------ configuration

TEST_F(CameraCapture, TodaysRgbLinesStillLoad)
{
    write("1.conf", "# red and green\n\nrgb 200 255 0 80 0 80\n  rgb 0 80 150 255 0 90\n");
    paint([](Canvas &c, std::uint32_t) { c.fill(0, 100, 2, 2, Red); });
    ASSERT_EQ(camera_load_config("1"), 1);
    ASSERT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    ASSERT_EQ(camera_update(), 1);

    EXPECT_EQ(get_channel_count(), 2);
    EXPECT_EQ(blobs(0), (std::vector<Blob>{{4, 0, 100, 0, 100, 1, 101}}));
    EXPECT_EQ(get_object_count(1), 0);
}

TEST_F(CameraCapture, MalformedConfigurationsLoadNothingAndKeepTheChannels)
{
    write("good.conf", "rgb 0 255 0 255 0 255 name all\nhsv 340 20 0 255 0 255 name red min_area 4\n");
    ASSERT_EQ(camera_load_config("good"), 1);
    const std::vector<std::pair<std::string, std::string>> bad{
        {"keyword", "rgb 0 255 0 255 0 255\nyuv 0 255 0 255 0 255\n"},
        {"option", "rgb 0 255 0 255 0 255 colour red\n"},
        {"hue", "hsv 340 360 0 255 0 255\n"},
        {"negative", "hsv -1 20 0 255 0 255\n"},
        {"saturation", "hsv 340 20 200 100 0 255\n"},
        {"range", "rgb 0 256 0 10 0 10\n"},
        {"order", "rgb 20 10 0 10 0 10\n"},
        {"short", "rgb 1 2 3 4 5\n"},
        {"number", "rgb 1 2 3 4 5 6x\n"},
        {"area", "rgb 1 2 3 4 5 6 min_area 0\n"},
        {"noarea", "rgb 1 2 3 4 5 6 min_area\n"},
        {"slash", "rgb 1 2 3 4 5 6 name a/b\n"},
        {"twice", "rgb 1 2 3 4 5 6 name a\nrgb 1 2 3 4 5 6 name a\n"},
        {"long", "rgb 0 255 0 255 0 255 #" + std::string(1 << 20, 'x') + "\n"},
        {"binary", std::string("rgb 0 255 0 255 0 255\n\x7f" "ELF\x01\x00\xff\xfe", 31)},
        {"empty", "# nothing\n"},
        {"many", [] { std::string text; for (int i = 0; i < 33; ++i) text += "rgb 0 1 0 1 0 1\n"; return text; }()},
    };
    for (const auto &entry : bad)
        write(entry.first + ".conf", entry.second);

    testing::internal::CaptureStderr();
    for (const auto &entry : bad)
        EXPECT_EQ(camera_load_config(entry.first.c_str()), 0) << entry.first;
    for (const char *name : {"missing", "", "../good", "/etc/passwd"})
        EXPECT_EQ(camera_load_config(name), 0) << name;
    EXPECT_EQ(camera_load_config(nullptr), 0);
    const std::string said = testing::internal::GetCapturedStderr();

    EXPECT_NE(said.find("hue.conf: line 1: hue bounds"), std::string::npos) << said;
    EXPECT_NE(said.find("keyword.conf: line 2: unknown keyword \"yuv\""), std::string::npos) << said;
    EXPECT_EQ(get_channel_count(), 2);
    EXPECT_EQ(get_channel_index("red"), 1);
}

} // namespace
