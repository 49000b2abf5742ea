// The JACK client behind the device shape.
#include "host/devices/jack.h"

#include <jack/jack.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace plumbra::host::devices {

namespace {

constexpr const char* kPortNames[] = {"in_left", "in_right", "backup_left", "backup_right", "out_left", "out_right"};
constexpr int kPorts = 6;
constexpr int kFirstOutput = 4;

class JackDevice final : public Device {
public:
    explicit JackDevice(JackOptions o) : options_(std::move(o)) {}
    ~JackDevice() override { stop(); }

    Status start(Callback& callback) override
    {
        stop();
        callback_ = &callback;
        jack_status_t status{};
        client_ = jack_client_open(options_.name.c_str(), JackNoStartServer, &status);
        if (!client_) return Status::fail(kExitInput, "cannot reach the JACK server (status 0x" + hex(status) + ")");
        for (int i = 0; i < kPorts; ++i) {
            ports_[i] = jack_port_register(client_, kPortNames[i], JACK_DEFAULT_AUDIO_TYPE,
                                           i < kFirstOutput ? JackPortIsInput : JackPortIsOutput, 0);
            if (!ports_[i]) {
                stop();
                return Status::fail(kExitInput, std::string("cannot register JACK port ") + kPortNames[i]);
            }
        }
        alive_.store(true);
        jack_set_process_callback(client_, &JackDevice::onProcess, this);
        jack_set_xrun_callback(client_, &JackDevice::onXrun, this);
        jack_on_info_shutdown(client_, &JackDevice::onShutdown, this);
        jack_set_latency_callback(client_, &JackDevice::onLatency, this);
        jack_set_port_connect_callback(client_, &JackDevice::onConnect, this);
        callback.prepare(static_cast<int>(jack_get_sample_rate(client_)));
        if (jack_activate(client_) != 0) {
            stop();
            return Status::fail(kExitInput, "cannot activate the JACK client");
        }
        active_ = true;
        std::string failed;
        auto connect = [&](const std::vector<std::string>& others, int first, bool theirsFeedUs) {
            for (size_t k = 0; k < others.size() && k < 2; ++k) {
                const std::string ours = std::string(jack_get_client_name(client_)) + ":" + kPortNames[first + static_cast<int>(k)];
                const int r = theirsFeedUs ? jack_connect(client_, others[k].c_str(), ours.c_str())
                                           : jack_connect(client_, ours.c_str(), others[k].c_str());
                if (r != 0 && r != EEXIST) failed += (failed.empty() ? "" : ", ") + others[k];
            }
        };
        connect(options_.connectIn, 0, true);
        connect(options_.connectBackup, 2, true);
        connect(options_.connectOut, 4, false);
        refreshConnections();
        // Ports missing at the first start are a mistake on the command line; after
        // a restart of the server their clients may simply not be back yet.
        if (!failed.empty() && !startedOnce_) {
            stop();
            return Status::fail(kExitInput, "cannot connect to JACK port(s) " + failed);
        }
        if (!failed.empty()) std::fprintf(stderr, "plumbra: JACK port(s) %s are not there (yet); left unconnected\n", failed.c_str());
        startedOnce_ = true;
        return Status::success();
    }

    void stop() override
    {
        if (client_) {
            if (active_) jack_deactivate(client_);
            jack_client_close(client_);
        }
        client_ = nullptr;
        active_ = false;
        for (auto& p : ports_) p = nullptr;
    }

    bool alive() const override { return client_ && alive_.load(); }
    int rate() const override { return client_ ? static_cast<int>(jack_get_sample_rate(client_)) : 0; }
    int period() const override { return client_ ? static_cast<int>(jack_get_buffer_size(client_)) : 0; }

    void setProcessingLatency(int frames) override
    {
        latency_.store(frames);
        if (client_ && active_) jack_recompute_total_latencies(client_);
    }

    std::string describe() const override
    {
        return "jack client " + (client_ ? std::string(jack_get_client_name(client_)) : options_.name);
    }

private:
    static std::string hex(jack_status_t s)
    {
        char b[16];
        std::snprintf(b, sizeof b, "%x", static_cast<unsigned>(s));
        return b;
    }

    // The connection flags the audio thread reads: set here, on JACK's notification thread.
    void refreshConnections()
    {
        if (!client_) return;
        rightConnected_.store(jack_port_connected(ports_[kProgrammeRight]) > 0, std::memory_order_relaxed);
        backupConnected_.store(jack_port_connected(ports_[kBackupLeft]) > 0 || jack_port_connected(ports_[kBackupRight]) > 0,
                               std::memory_order_relaxed);
    }

    static int onProcess(jack_nframes_t frames, void* arg)
    {
        auto* d = static_cast<JackDevice*>(arg);
        Period p;
        for (int i = 0; i < kNumInputs; ++i) p.in[i] = static_cast<const float*>(jack_port_get_buffer(d->ports_[i], frames));
        for (int i = 0; i < kNumOutputs; ++i)
            p.out[i] = static_cast<float*>(jack_port_get_buffer(d->ports_[kFirstOutput + i], frames));
        p.programmeRightConnected = d->rightConnected_.load(std::memory_order_relaxed);
        p.backupConnected = d->backupConnected_.load(std::memory_order_relaxed);
        p.frames = static_cast<int>(frames);
        d->callback_->process(p);
        return 0;
    }

    static int onXrun(void* arg)
    {
        static_cast<JackDevice*>(arg)->callback_->xrun();
        return 0;
    }

    static void onShutdown(jack_status_t, const char*, void* arg) { static_cast<JackDevice*>(arg)->alive_.store(false); }

    static void onConnect(jack_port_id_t, jack_port_id_t, int, void* arg) { static_cast<JackDevice*>(arg)->refreshConnections(); }

    // The outputs trail the inputs by the processing latency, both ways through the graph.
    static void onLatency(jack_latency_callback_mode_t mode, void* arg)
    {
        auto* d = static_cast<JackDevice*>(arg);
        const auto extra = static_cast<jack_nframes_t>(d->latency_.load());
        jack_latency_range_t range;
        if (mode == JackCaptureLatency) {
            jack_port_get_latency_range(d->ports_[kProgrammeLeft], mode, &range);
            range.min += extra;
            range.max += extra;
            for (int i = kFirstOutput; i < kPorts; ++i) jack_port_set_latency_range(d->ports_[i], mode, &range);
        } else {
            jack_port_get_latency_range(d->ports_[kFirstOutput], mode, &range);
            range.min += extra;
            range.max += extra;
            for (int i = 0; i < kFirstOutput; ++i) jack_port_set_latency_range(d->ports_[i], mode, &range);
        }
    }

    JackOptions options_;
    Callback* callback_ = nullptr;
    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[kPorts] = {};
    bool active_ = false;
    bool startedOnce_ = false;
    std::atomic<bool> alive_{false}, rightConnected_{false}, backupConnected_{false};
    std::atomic<int> latency_{0};
};

}  // namespace

std::unique_ptr<Device> makeJackDevice(const JackOptions& options)
{
    return std::make_unique<JackDevice>(options);
}

}  // namespace plumbra::host::devices
