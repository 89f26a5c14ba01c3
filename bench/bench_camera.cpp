// How fast a program that tracks blobs with the camera runs under
// kestrix-sim --speed max, and what the camera's view costs as the field
// fills with walls.
//
//   bench_camera [simulated-seconds]     (default 30, five rounds each)
//
// 1. bench/camera_tracker.c (every blob of every channel read at every
//    frame, the robot turning on the spot so that the view never stands
//    still) on sim/worlds/arena.json at 160 x 120 and 640 x 480, and the same
//    program without the camera (a frame's wait instead): simulated seconds
//    per real second (launcher start-up included) and per CPU second of the
//    program, medians of five runs taken in turn.
// 2. The camera among many walls: fields of 0.2 m walls at random, four a
//    square metre, the field growing with their number, the robot in a clear
//    patch in the middle. Through kestrix-sim (a world file holds at most 1
//    MiB, some 30000 walls) 1 s simulated of the tracker at 160 x 120, with
//    and without the camera; and in this process the view alone, per
//    picture at 160 x 120, fast and the plain way (every pixel against every
//    wall), for up to 100000 walls (the plain way takes some 20 s there).
#include "camera/camera_view.h"

#include "launcher_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Figures
{
    double realSeconds = 0;
    double cpuSeconds = 0;
};

Figures run(const std::string &duration, const std::string &world, const std::string &argument)
{
    const LauncherRun done = runLauncher({KESTRIX_SIM_LAUNCHER, "--speed", "max", "--duration", duration, "--world",
                                          world, KESTRIX_CAMERA_TRACKER, argument});
    if (!done.succeeded()) {
        std::fprintf(stderr, "bench_camera: kestrix-sim failed on %s (status %d)\n", world.c_str(), done.status);
        std::exit(1);
    }
    return {done.realSeconds, done.cpuSeconds};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double cpuNow()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// `count` walls of 0.2 m at random over a square field of four walls a
// square metre, none within 0.6 m of the middle, where the robot stands.
struct WallField
{
    double side;
    std::vector<kxsim::CameraScene::Wall> walls;
};

WallField wallField(int count)
{
    WallField field;
    field.side = std::sqrt(double(count)) * 0.5 + 2;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> place(0.2, field.side - 0.2), turn(0, 3.14159265358979);
    const double middle = field.side / 2;
    while (field.walls.size() < static_cast<std::size_t>(count)) {
        const double x = place(random), y = place(random), angle = turn(random);
        if (std::fabs(x - middle) < 0.6 && std::fabs(y - middle) < 0.6)
            continue;
        field.walls.push_back({x, y, x + 0.2 * std::cos(angle), y + 0.2 * std::sin(angle), 0.3});
    }
    return field;
}

std::string writeWorld(const WallField &field, const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    const double middle = field.side / 2;
    std::fprintf(file, "{\"field\": {\"width\": %.3f, \"height\": %.3f, \"border\": true},\n\"walls\": [\n",
                 field.side, field.side);
    for (std::size_t i = 0; i < field.walls.size(); ++i) {
        const auto &w = field.walls[i];
        // Inside the field whatever the rounding.
        auto in = [&](double v) { return std::clamp(v, 0.001, field.side - 0.001); };
        std::fprintf(file, "[%.3f,%.3f,%.3f,%.3f]%s\n", in(w.x0), in(w.y0), in(w.x1), in(w.y1),
                     i + 1 < field.walls.size() ? "," : "");
    }
    std::fprintf(file,
                 "],\n\"objects\": [{\"box\": [%.3f, %.3f, %.3f, %.3f], \"colour\": \"#d03030\", \"height\": 0.05}],\n"
                 "\"robot\": {\"start\": {\"x\": %.3f, \"y\": %.3f, \"heading_deg\": 0}, \"left_motor\": 0, "
                 "\"right_motor\": 1,\n \"camera\": {\"pitch_deg\": -10, \"fps\": 30, \"configs\": {\"1\": "
                 "[\"hsv 345 15 120 255 60 255 name red min_area 4\"]}}}}\n",
                 middle + 0.3, middle - 0.05, middle + 0.4, middle + 0.05, middle, middle);
    std::fclose(file);
    return path;
}

// Milliseconds of CPU a picture at 160 x 120, over `pictures` pictures taken
// while the robot turns on the spot in the middle of the field.
double msPerPicture(const WallField &field, bool fast, int pictures, long long *tests = nullptr)
{
    kxsim::CameraScene scene;
    scene.fieldWidth = scene.fieldHeight = field.side;
    scene.walls = field.walls;
    scene.floorReflectance = [](double, double) { return 0.9; };
    scene.floorUniform = [](double, double, double, double) { return true; };
    kxsim::CameraMount mount;
    mount.pitchDeg = -10;
    kxsim::CameraView view(scene, mount);
    std::vector<unsigned char> rgb(160 * 120 * 3);
    long long work = 0;
    const double start = cpuNow();
    for (int i = 0; i < pictures; ++i) {
        const kxsim::CameraPose pose{field.side / 2, field.side / 2, i * 360.0 / pictures};
        if (fast) {
            view.render(pose, rgb.data(), 160, 120);
            work += view.lastWork().obstacleTests;
        } else {
            kxsim::renderCamera(scene, mount, pose, rgb.data(), 160, 120);
        }
    }
    if (tests != nullptr)
        *tests = work / pictures;
    return (cpuNow() - start) * 1000 / pictures;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string duration = argc > 1 ? argv[1] : "30";
    const double simulated = std::atof(duration.c_str());
    if (!(simulated > 0)) {
        std::fprintf(stderr, "usage: bench_camera [simulated-seconds]\n");
        return 2;
    }
    constexpr int Rounds = 5;
    const char *const modes[3][2] = {{"0", "160 x 120"}, {"2", "640 x 480"}, {"none", "no camera"}};
    std::vector<double> real[3], cpu[3];
    for (int round = 0; round < Rounds; ++round)
        for (int mode = 0; mode < 3; ++mode) {
            const Figures figures = run(duration, KESTRIX_ARENA_WORLD, modes[mode][0]);
            real[mode].push_back(simulated / figures.realSeconds);
            cpu[mode].push_back(simulated / figures.cpuSeconds);
        }
    std::printf("camera_tracker on arena.json, %s s simulated, --speed max, median of %d runs\n", duration.c_str(),
                Rounds);
    for (int mode = 0; mode < 3; ++mode)
        std::printf("  %-10s %7.1f x real time (%7.1f per CPU s)\n", modes[mode][1], median(real[mode]),
                    median(cpu[mode]));
    std::printf("  goals: 100 x at 160 x 120, 20 x at 640 x 480\n\n");

    char folder[] = "/tmp/bench-camera.XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::printf("camera_tracker at 160 x 120 among walls, 1 s simulated, real s (median of 3)\n");
    for (int count : {1000, 10000}) {
        const std::string world = writeWorld(wallField(count), std::string(folder) + "/walls.json");
        std::vector<double> with, without;
        for (int round = 0; round < 3; ++round) {
            with.push_back(run("1", world, "0").realSeconds);
            without.push_back(run("1", world, "none").realSeconds);
        }
        std::printf("  %6d walls: %6.3f s with the camera, %6.3f s without\n", count, median(with), median(without));
        ::unlink(world.c_str());
    }
    ::rmdir(folder);

    std::printf("\nthe view alone at 160 x 120, CPU ms a picture\n");
    for (int count : {1000, 10000, 100000}) {
        const WallField field = wallField(count);
        long long tests = 0;
        const double fast = msPerPicture(field, true, 36, &tests);
        const double plain = msPerPicture(field, false, count <= 1000 ? 6 : 1);
        std::printf("  %6d walls: %7.3f ms (%lld obstacle tests), every pixel against every wall %9.1f ms\n", count,
                    fast, tests, plain);
    }
    return 0;
}
