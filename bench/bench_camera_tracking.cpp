// Colour-blob tracking of a 640 x 480 frame with three channels: this
// library's tracker against OpenCV's cv::inRange + cv::connectedComponentsWithStats
// (8-connected) on the same frames in the same run.
//
//   bench_camera_tracking [rounds]     (default 30)
//
// The frames are synthetic: a shaded floor with sensor noise, a few dozen
// blocks, discs and lines of three colours, and speckles of those colours
// (so each channel also has many tiny blobs). For each frame and channel
// the two object lists (area, centre rounded down, bounding box) must be
// identical; a difference is printed and the exit status is 1.
//
// Times are the median over the rounds of one pass over every frame,
// reported per frame. OpenCV runs on one thread (as our tracker does) and
// then with its default thread count. Our tracker is also timed with three
// HSV channels, which convert every pixel's colour.
#include "private/camera_tracking_p.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <tuple>
#include <vector>

namespace {

constexpr int Width = 640;
constexpr int Height = 480;
constexpr int FrameCount = 8;

struct Entry
{
    int area, centerX, centerY, left, top, right, bottom;
    bool operator<(const Entry &o) const
    {
        return std::tie(o.area, top, left, centerY, centerX, right, bottom)
            < std::tie(area, o.top, o.left, o.centerY, o.centerX, o.right, o.bottom);
    }
    bool operator==(const Entry &o) const
    {
        return std::tie(area, centerX, centerY, left, top, right, bottom)
            == std::tie(o.area, o.centerX, o.centerY, o.left, o.top, o.right, o.bottom);
    }
};

using Lists = std::vector<std::vector<Entry>>; // per channel

const std::vector<Camera::Channel> &channels()
{
    static const std::vector<Camera::Channel> s_channels = [] {
        std::vector<Camera::Channel> list(3);
        const int bounds[3][6] = {{170, 255, 0, 90, 0, 90}, {0, 90, 140, 255, 0, 110}, {0, 80, 40, 150, 150, 255}};
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 3; ++i) {
                list[static_cast<std::size_t>(c)].low[i] = bounds[c][2 * i];
                list[static_cast<std::size_t>(c)].high[i] = bounds[c][2 * i + 1];
            }
        return list;
    }();
    return s_channels;
}

Camera::Frame makeFrame(unsigned seed)
{
    std::mt19937 random(seed);
    cv::Mat image(Height, Width, CV_8UC3);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            const int shade = 90 + (x + y) / 16 + static_cast<int>(random() % 24);
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<unsigned char>(shade), static_cast<unsigned char>(shade),
                                                   static_cast<unsigned char>(shade - 10));
        }
    const cv::Scalar colours[3] = {cv::Scalar(220, 40, 30), cv::Scalar(40, 200, 60), cv::Scalar(30, 90, 210)};
    for (int i = 0; i < 30; ++i) {
        const cv::Scalar &colour = colours[random() % 3];
        const cv::Point at(static_cast<int>(random() % Width), static_cast<int>(random() % Height));
        switch (random() % 3) {
        case 0:
            cv::rectangle(image, at, at + cv::Point(10 + static_cast<int>(random() % 80), 10 + static_cast<int>(random() % 60)),
                          colour, cv::FILLED);
            break;
        case 1:
            cv::circle(image, at, 5 + static_cast<int>(random() % 40), colour, cv::FILLED);
            break;
        default:
            cv::line(image, at, cv::Point(static_cast<int>(random() % Width), static_cast<int>(random() % Height)), colour,
                     1 + static_cast<int>(random() % 3));
        }
    }
    for (int i = 0; i < 1500; ++i)
        image.at<cv::Vec3b>(static_cast<int>(random() % Height), static_cast<int>(random() % Width)) =
            cv::Vec3b(static_cast<unsigned char>(colours[i % 3][0]), static_cast<unsigned char>(colours[i % 3][1]),
                      static_cast<unsigned char>(colours[i % 3][2]));
    Camera::Frame frame;
    frame.width = Width;
    frame.height = Height;
    frame.rgb.assign(image.data, image.data + Width * Height * 3);
    return frame;
}

Lists ours(Camera::Tracker &tracker, const Camera::Frame &frame, std::vector<std::vector<Camera::Object>> &objects)
{
    tracker.track(frame, objects);
    Lists lists(objects.size());
    for (std::size_t c = 0; c < objects.size(); ++c)
        for (const Camera::Object &o : objects[c])
            lists[c].push_back({o.area, o.centerX, o.centerY, o.left, o.top, o.right, o.bottom});
    return lists;
}

struct OpenCvScratch
{
    cv::Mat mask, labels, stats, centroids;
};

void openCvTrack(const Camera::Frame &frame, OpenCvScratch &scratch, int counts[3])
{
    const cv::Mat image(Height, Width, CV_8UC3, const_cast<unsigned char *>(frame.rgb.data()));
    for (std::size_t c = 0; c < 3; ++c) {
        const Camera::Channel &channel = channels()[c];
        cv::inRange(image, cv::Scalar(channel.low[0], channel.low[1], channel.low[2]),
                    cv::Scalar(channel.high[0], channel.high[1], channel.high[2]), scratch.mask);
        counts[c] = cv::connectedComponentsWithStats(scratch.mask, scratch.labels, scratch.stats, scratch.centroids, 8, CV_32S);
    }
}

Lists openCvLists(const Camera::Frame &frame)
{
    const cv::Mat image(Height, Width, CV_8UC3, const_cast<unsigned char *>(frame.rgb.data()));
    Lists lists(3);
    for (std::size_t c = 0; c < 3; ++c) {
        const Camera::Channel &channel = channels()[c];
        cv::Mat mask, labels, stats, centroids;
        cv::inRange(image, cv::Scalar(channel.low[0], channel.low[1], channel.low[2]),
                    cv::Scalar(channel.high[0], channel.high[1], channel.high[2]), mask);
        const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
        for (int label = 1; label < count; ++label) {
            const int left = stats.at<int>(label, cv::CC_STAT_LEFT), top = stats.at<int>(label, cv::CC_STAT_TOP);
            lists[c].push_back({stats.at<int>(label, cv::CC_STAT_AREA),
                                static_cast<int>(std::floor(centroids.at<double>(label, 0))),
                                static_cast<int>(std::floor(centroids.at<double>(label, 1))), left, top,
                                left + stats.at<int>(label, cv::CC_STAT_WIDTH) - 1,
                                top + stats.at<int>(label, cv::CC_STAT_HEIGHT) - 1});
        }
        std::sort(lists[c].begin(), lists[c].end());
    }
    return lists;
}

template <typename Pass>
double medianMsPerFrame(int rounds, Pass pass)
{
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        pass();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count()
                        / FrameCount);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    std::vector<Camera::Frame> frames;
    for (int i = 0; i < FrameCount; ++i)
        frames.push_back(makeFrame(1234u + static_cast<unsigned>(i)));

    Camera::Tracker tracker;
    tracker.setChannels(channels());
    std::vector<std::vector<Camera::Object>> objects;

    // Same frames, same answers: every object of every channel.
    int differences = 0;
    std::size_t blobs = 0;
    for (int i = 0; i < FrameCount; ++i) {
        Lists mine = ours(tracker, frames[static_cast<std::size_t>(i)], objects);
        const Lists theirs = openCvLists(frames[static_cast<std::size_t>(i)]);
        for (std::size_t c = 0; c < 3; ++c) {
            blobs += mine[c].size();
            // Ours come largest first; equal areas are ordered the same way
            // for the comparison.
            std::vector<Entry> sorted = mine[c];
            std::sort(sorted.begin(), sorted.end());
            if (!std::is_sorted(mine[c].begin(), mine[c].end(), [](const Entry &a, const Entry &b) { return a.area > b.area; })
                || sorted != theirs[c]) {
                ++differences;
                std::printf("frame %d channel %zu: %zu objects here, %zu from OpenCV\n", i, c, mine[c].size(),
                            theirs[c].size());
            }
        }
    }

    const double oursMs = medianMsPerFrame(rounds, [&] {
        for (const Camera::Frame &frame : frames)
            tracker.track(frame, objects);
    });
    // The same frames with three HSV channels (no counterpart compared: the
    // hue scales differ), for what HSV costs on top.
    Camera::Tracker hsvTracker;
    {
        std::vector<Camera::Channel> hsv(3);
        const int bounds[3][6] = {{340, 20, 120, 255, 60, 255}, {90, 150, 100, 255, 60, 255}, {200, 240, 100, 255, 60, 255}};
        for (std::size_t c = 0; c < 3; ++c) {
            hsv[c].space = Camera::Channel::Space::Hsv;
            for (int i = 0; i < 3; ++i) {
                hsv[c].low[i] = bounds[c][2 * i];
                hsv[c].high[i] = bounds[c][2 * i + 1];
            }
        }
        hsvTracker.setChannels(hsv);
    }
    const double hsvMs = medianMsPerFrame(rounds, [&] {
        for (const Camera::Frame &frame : frames)
            hsvTracker.track(frame, objects);
    });
    OpenCvScratch scratch;
    int counts[3];
    const int defaultThreads = cv::getNumThreads();
    cv::setNumThreads(1);
    const double openCvOneMs = medianMsPerFrame(rounds, [&] {
        for (const Camera::Frame &frame : frames)
            openCvTrack(frame, scratch, counts);
    });
    cv::setNumThreads(defaultThreads);
    const double openCvAllMs = medianMsPerFrame(rounds, [&] {
        for (const Camera::Frame &frame : frames)
            openCvTrack(frame, scratch, counts);
    });

    std::printf("frames: %d of %dx%d, 3 RGB channels, %zu blobs in all, %d round(s)\n", FrameCount, Width, Height,
                blobs, rounds);
    std::printf("object lists identical: %s\n", differences == 0 ? "yes" : "NO");
    std::printf("ours:                        %7.3f ms a frame\n", oursMs);
    std::printf("ours, 3 HSV channels:        %7.3f ms a frame\n", hsvMs);
    std::printf("OpenCV %s, 1 thread:      %7.3f ms a frame (ours / OpenCV = %.2f)\n", CV_VERSION, openCvOneMs,
                oursMs / openCvOneMs);
    std::printf("OpenCV %s, %d thread(s):  %7.3f ms a frame (ours / OpenCV = %.2f)\n", CV_VERSION, defaultThreads,
                openCvAllMs, oursMs / openCvAllMs);
    return differences == 0 ? 0 : 1;
}
