#ifndef KESTRIX_PRIVATE_CAMERA_P_H
#define KESTRIX_PRIVATE_CAMERA_P_H

#include "private/camera_frame_p.h"
#include "private/camera_tracking_p.h"

#include <string>
#include <vector>

namespace Camera {

// A source of frames for the camera device.
class InputProvider
{
public:
    virtual ~InputProvider();

    // Prepares camera `number`; true when frames can be had from it.
    virtual bool open(int number) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The newest frame, into `frame` (its storage is reused); false when
    // there is none.
    virtual bool nextFrame(Frame &frame) = 0;
    // The size of the frames it will give, as fixed when it opened; 0 x 0
    // when that is not known before a frame.
    virtual int frameWidth() const { return 0; }
    virtual int frameHeight() const { return 0; }
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

// The camera device, fed by an input provider that it does not own. Each
// channel reports the blobs of its colour in the newest frame.
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

    // Of the newest frame, else as the open fixed it; 0 while closed.
    int width() const;
    int height() const;
    // The newest frame; empty while there is none.
    const Frame &frame() const { return m_frame; }

    // At most Tracker::MaxChannels are kept.
    void setChannels(const std::vector<Channel> &channels);
    const std::vector<Channel> &channels() const { return m_tracker.channels(); }
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
    Tracker m_tracker;
    std::vector<std::vector<Object>> m_objects;
};

} // namespace Camera

#endif
