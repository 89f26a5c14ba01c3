#ifndef KESTRIX_PRIVATE_CAMERA_H
#define KESTRIX_PRIVATE_CAMERA_H

#include <string>
#include <vector>

namespace Camera {

// One picture: `width` x `height` pixels, three bytes (red, green, blue) per
// pixel, row after row.
struct Frame
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

// A source of frames for the camera device.
class InputProvider
{
public:
    virtual ~InputProvider();

    // Prepares camera `number`; true when frames can be had from it.
    virtual bool open(int number) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The newest frame; false when there is none.
    virtual bool nextFrame(Frame &frame) = 0;
};

// The drone's camera. The drone sends its pictures as an encoded video
// stream that this library does not decode, so this source never has a
// frame: open() always fails.
class ARDroneInputProvider : public InputProvider
{
public:
    ARDroneInputProvider();
    ~ARDroneInputProvider() override;

    bool open(int number) override;
    void close() override;
    bool isOpen() const override;
    bool nextFrame(Frame &frame) override;
};

// A colour channel: the inclusive range of each of red, green and blue.
struct Channel
{
    unsigned char low[3] = {0, 0, 0};
    unsigned char high[3] = {255, 255, 255};
};

// What a channel saw in a frame.
struct Object
{
    int centerX = -1;
    int centerY = -1;
    int area = 0; // pixels
};

// Reads a channel configuration file. The format, one channel per line:
//   rgb <red low> <red high> <green low> <green high> <blue low> <blue high>
// with values 0 to 255; blank lines and lines starting with '#' are skipped.
// False (and `channels` unchanged) when the file cannot be read, a line is
// malformed or it names no channel.
bool loadChannels(const std::string &path, std::vector<Channel> &channels);

// Where camera_load_config() looks for "<name>.conf": /etc/kestrix/camera
// unless changed here (inside the library and its tests).
void setConfigDirectory(const std::string &directory);
std::string configDirectory();

// The camera device, fed by an input provider that it does not own.
// Each channel reports at most one object: the centre of all pixels of the
// frame that fall in the channel's range.
class Device
{
public:
    // `provider` may be null: such a device never opens.
    explicit Device(InputProvider *provider);
    // Leaves the provider alone: it may already be gone.
    ~Device();

    // True when the provider can deliver frames from camera `number`.
    bool open(int number);
    void close();
    bool isOpen() const;
    // Takes the provider's newest frame and finds the channels' objects;
    // false (and nothing seen) when not open or no frame came.
    bool update();

    // Of the newest frame; 0 while there is none.
    int width() const;
    int height() const;

    void setChannels(const std::vector<Channel> &channels);
    int channelCount() const;
    // 0 for a channel that does not exist.
    int objectCount(int channel) const;
    // Null for an object that does not exist.
    const Object *object(int channel, int index) const;

    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

private:
    InputProvider *m_provider;
    bool m_open = false;
    Frame m_frame;
    std::vector<Channel> m_channels;
    std::vector<std::vector<Object>> m_objects;
};

} // namespace Camera

#endif
