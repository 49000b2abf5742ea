// Test host for the VST 3 bundle: finds the binary in the bundle as a host
// does, loads it through its entry points and drives instances only through
// the interfaces. Also the host objects a plug-in receives: a memory stream,
// parameter changes, a component handler and an application context.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "vst3/abi.h"

namespace plumbra::test::vst3 {

using namespace plumbra::vst3;

// The binary inside a bundle for this platform (Contents/<arch>/<stem>.so or .vst3).
std::string bundleBinary(const std::string& bundle);

// The loaded module: its factory and the names it exports. Loaded once per process.
struct Module {
    IPluginFactory* factory = nullptr;
    bool hasEntry = false;  // ModuleEntry/ModuleExit (Linux) or InitDll/ExitDll (Windows)
    std::string error;
};
Module& loadModule(const std::string& bundle);

// The 32 hex digits of a class ID as hosts print it (the four words in order).
std::string uidText(const char* bytes);

class MemoryStream final : public IBStream {
public:
    std::vector<unsigned char> bytes;
    std::size_t pos = 0;
    int32 maxRead = 1 << 30;  // largest piece one read returns

    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override;
    uint32 PLUMBRA_VST3_API addRef() override { return 1; }
    uint32 PLUMBRA_VST3_API release() override { return 1; }
    tresult PLUMBRA_VST3_API read(void* buffer, int32 numBytes, int32* numBytesRead) override;
    tresult PLUMBRA_VST3_API write(void* buffer, int32 numBytes, int32* numBytesWritten) override;
    tresult PLUMBRA_VST3_API seek(int64 position, int32 mode, int64* result) override;
    tresult PLUMBRA_VST3_API tell(int64* position) override;
};

class ValueQueue final : public IParamValueQueue {
public:
    ParamID id = 0;
    std::vector<std::pair<int32, ParamValue>> points;

    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override;
    uint32 PLUMBRA_VST3_API addRef() override { return 1; }
    uint32 PLUMBRA_VST3_API release() override { return 1; }
    ParamID PLUMBRA_VST3_API getParameterId() override { return id; }
    int32 PLUMBRA_VST3_API getPointCount() override { return static_cast<int32>(points.size()); }
    tresult PLUMBRA_VST3_API getPoint(int32 index, int32& offset, ParamValue& value) override;
    tresult PLUMBRA_VST3_API addPoint(int32 offset, ParamValue value, int32& index) override;
};

class ParameterChanges final : public IParameterChanges {
public:
    std::vector<ValueQueue> queues;
    // Adds a point to the queue of id (a new queue if there is none).
    void add(ParamID id, int32 offset, ParamValue value);

    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override;
    uint32 PLUMBRA_VST3_API addRef() override { return 1; }
    uint32 PLUMBRA_VST3_API release() override { return 1; }
    int32 PLUMBRA_VST3_API getParameterCount() override { return static_cast<int32>(queues.size()); }
    IParamValueQueue* PLUMBRA_VST3_API getParameterData(int32 index) override;
    IParamValueQueue* PLUMBRA_VST3_API addParameterData(const ParamID& id, int32& index) override;
};

// Counts its references, so that a test sees the plug-in release what it keeps.
class ComponentHandler final : public IComponentHandler {
public:
    std::atomic<int> refs{1};
    int edits = 0;
    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override;
    uint32 PLUMBRA_VST3_API addRef() override { return static_cast<uint32>(++refs); }
    uint32 PLUMBRA_VST3_API release() override { return static_cast<uint32>(--refs); }
    tresult PLUMBRA_VST3_API beginEdit(ParamID) override { ++edits; return kResultOk; }
    tresult PLUMBRA_VST3_API performEdit(ParamID, ParamValue) override { ++edits; return kResultOk; }
    tresult PLUMBRA_VST3_API endEdit(ParamID) override { ++edits; return kResultOk; }
    tresult PLUMBRA_VST3_API restartComponent(int32) override { return kResultOk; }
};

class HostApplication final : public IHostApplication {
public:
    tresult PLUMBRA_VST3_API queryInterface(const TUID iid, void** obj) override;
    uint32 PLUMBRA_VST3_API addRef() override { return 1; }
    uint32 PLUMBRA_VST3_API release() override { return 1; }
    tresult PLUMBRA_VST3_API getName(String128 name) override;
    tresult PLUMBRA_VST3_API createInstance(TUID, TUID, void** obj) override
    {
        *obj = nullptr;
        return kNoInterface;
    }
};

// One plug-in instance set up as Ardour sets one up: initialised for both
// roles, states synchronised, buses activated, 48 kHz, active and processing.
class Instance {
public:
    explicit Instance(const std::string& bundle, SpeakerArrangement input = kSpeakerArrMono,
                      int32 maxBlock = 4096);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    IComponent* component = nullptr;
    IAudioProcessor* processor = nullptr;
    IEditController* controller = nullptr;
    ComponentHandler handler;
    HostApplication context;

    // Processes one block of the programme (one channel, or two for a stereo
    // input) into left and right; changes (may be null) go with the block.
    tresult process(const std::vector<const float*>& inputs, float* left, float* right, int32 frames,
                    ParameterChanges* changes = nullptr);
    // A whole mono programme in blocks of the given sizes, repeated; returns left and right interleaved.
    std::vector<float> render(const std::vector<float>& programme, const std::vector<int32>& blocks);
    std::vector<unsigned char> state();
};

}  // namespace plumbra::test::vst3
