#ifndef KESTRIX_PRIVATE_CAMERA_CONFIG_P_H
#define KESTRIX_PRIVATE_CAMERA_CONFIG_P_H

#include "private/camera_tracking_p.h"

#include <string>
#include <vector>

namespace Camera {

// Where camera_load_config() finds "<name>.conf".
constexpr const char *ConfigDirectory = "/etc/kestrix/camera";
// Limits that keep a stray file from costing more than a glance.
constexpr std::size_t MaxConfigBytes = 64 * 1024;
constexpr std::size_t MaxConfigLine = 256;
constexpr std::size_t MaxChannelName = 31;
constexpr int MaxMinArea = 1 << 24;

// Parses a channel configuration (the format is documented in
// kestrix/camera.h). False, with `error` naming the line and the fault,
// when any line is bad or no channel is named; `channels` is then left
// alone.
bool parseChannels(const std::string &text, std::vector<Channel> &channels, std::string &error);

// Reads and parses the file at `path` (through open and read, at most
// MaxConfigBytes). False, with `error` prefixed by the path, when it cannot
// be read or parsed.
bool loadChannels(const std::string &path, std::vector<Channel> &channels, std::string &error);

} // namespace Camera

#endif
