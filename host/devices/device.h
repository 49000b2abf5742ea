// Live audio devices: a JACK client or a pair of ALSA PCMs, behind one shape.
// A device calls its callback once per period from its real-time thread; the
// callback must not allocate, lock, make system calls or log. Everything else
// (opening, reconnecting, reporting) happens on the caller's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/common/status.h"

namespace plumbra::host::devices {

// The channels a device delivers each period. Absent channels are null.
enum Input : int { kProgrammeLeft = 0, kProgrammeRight, kBackupLeft, kBackupRight, kNumInputs };
enum Output : int { kOutLeft = 0, kOutRight, kNumOutputs };

struct Period {
    const float* in[kNumInputs] = {};  // null where the device has no such channel
    bool programmeRightConnected = true;  // false: the feed is on the left input alone
    bool backupConnected = false;         // true when backup channels carry a feed
    float* out[kNumOutputs] = {};
    int frames = 0;
};

class Callback {
public:
    virtual ~Callback() = default;
    // One period, on the device's real-time thread.
    virtual void process(const Period& period) noexcept = 0;
    // The device lost audio (an xrun) before this period; real-time thread too.
    virtual void xrun() noexcept {}
    // Called by a device that learns its rate only when it opens (JACK) from
    // start(), on the caller's thread, before the first period.
    virtual void prepare(int /*rate*/) {}
};

class Device {
public:
    virtual ~Device() = default;
    // Opens and starts the device, calling `callback` from now on. Fails with a
    // reason when the server or device is not there.
    virtual Status start(Callback& callback) = 0;
    // Stops calling the callback and closes the device; idempotent.
    virtual void stop() = 0;
    // False once the server or device went away; the owner then stops it and
    // starts it again every few seconds until it is back.
    virtual bool alive() const = 0;
    virtual int rate() const = 0;    // valid after start
    virtual int period() const = 0;  // frames per period, valid after start
    // Tells the device how far its output trails its input, so that it can
    // report it (JACK port latency).
    virtual void setProcessingLatency(int frames) = 0;
    virtual std::string describe() const = 0;  // "jack client plumbra", "alsa hw:0 -> hw:1"
};

}  // namespace plumbra::host::devices
