#include "private/camera_config_p.h"

#include <cerrno>
#include <cctype>
#include <charconv>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace Camera {

namespace {

bool number(const std::string &word, int low, int high, int &value)
{
    const char *end = word.data() + word.size();
    const auto result = std::from_chars(word.data(), end, value);
    return !word.empty() && result.ec == std::errc() && result.ptr == end && value >= low && value <= high;
}

bool validName(const std::string &name)
{
    if (name.empty() || name.size() > MaxChannelName)
        return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'))
            return false;
    return true;
}

// The range of each bound of a colour space, in the order of the line.
struct Space
{
    const char *keyword;
    Channel::Space space;
    int maximum[3];
    bool wraps[3]; // a low bound above the high bound goes round
};

constexpr Space Spaces[] = {
    {"rgb", Channel::Space::Rgb, {255, 255, 255}, {false, false, false}},
    {"hsv", Channel::Space::Hsv, {359, 255, 255}, {true, false, false}},
};

const char *const ComponentNames[2][3] = {{"red", "green", "blue"}, {"hue", "saturation", "value"}};

// One line that is not blank or a comment; "" when it is good.
std::string parseLine(std::istringstream &words, const std::string &keyword, Channel &channel)
{
    const Space *space = nullptr;
    for (const Space &candidate : Spaces)
        if (keyword == candidate.keyword)
            space = &candidate;
    if (space == nullptr)
        return "unknown keyword \"" + keyword + "\" (expected rgb or hsv)";
    channel.space = space->space;
    const auto names = ComponentNames[space->space == Channel::Space::Hsv ? 1 : 0];
    for (int i = 0; i < 3; ++i) {
        std::string low, high;
        if (!(words >> low >> high))
            return std::string(keyword) + " needs six bounds";
        if (!number(low, 0, space->maximum[i], channel.low[i]) || !number(high, 0, space->maximum[i], channel.high[i]))
            return std::string(names[i]) + " bounds must be whole numbers 0-" + std::to_string(space->maximum[i]);
        if (!space->wraps[i] && channel.low[i] > channel.high[i])
            return std::string(names[i]) + " low bound above its high bound";
    }
    std::string option;
    while (words >> option) {
        std::string value;
        if (!(words >> value))
            return "option \"" + option + "\" has no value";
        if (option == "name") {
            if (!validName(value))
                return "a name is 1-" + std::to_string(MaxChannelName) + " letters, digits, '_' or '-'";
            channel.name = value;
        } else if (option == "min_area") {
            if (!number(value, 1, MaxMinArea, channel.minArea))
                return "min_area must be a whole number 1-" + std::to_string(MaxMinArea);
        } else {
            return "unknown option \"" + option + "\" (expected name or min_area)";
        }
    }
    return {};
}

} // namespace

bool parseChannels(const std::string &text, std::vector<Channel> &channels, std::string &error)
{
    for (unsigned char c : text)
        if (c != '\n' && c != '\r' && c != '\t' && (c < 0x20 || c > 0x7e)) {
            error = "not a text file (byte " + std::to_string(c) + ")";
            return false;
        }
    std::vector<Channel> loaded;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (end - start > MaxConfigLine) {
            error = where + "longer than " + std::to_string(MaxConfigLine) + " characters";
            return false;
        }
        std::istringstream words(text.substr(start, end - start));
        start = end + 1;
        std::string keyword;
        if (!(words >> keyword) || keyword[0] == '#')
            continue;
        Channel channel;
        const std::string fault = parseLine(words, keyword, channel);
        if (!fault.empty()) {
            error = where + fault;
            return false;
        }
        for (const Channel &other : loaded)
            if (!channel.name.empty() && other.name == channel.name) {
                error = where + "channel name \"" + channel.name + "\" used twice";
                return false;
            }
        if (loaded.size() == Tracker::MaxChannels) {
            error = where + "more than " + std::to_string(Tracker::MaxChannels) + " channels";
            return false;
        }
        loaded.push_back(channel);
    }
    if (loaded.empty()) {
        error = "no channel";
        return false;
    }
    channels = std::move(loaded);
    return true;
}

bool loadChannels(const std::string &path, std::vector<Channel> &channels, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        text.append(block, static_cast<std::size_t>(got));
        if (text.size() > MaxConfigBytes) {
            error = path + ": larger than " + std::to_string(MaxConfigBytes) + " bytes";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    if (!parseChannels(text, channels, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace Camera
