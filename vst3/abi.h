// The VST 3 binary interface as this plug-in and its test host use it: basic
// types, result codes, interface identifiers, the interfaces (as abstract
// classes laid out like COM vtables: no destructor, no overloads), and the
// structures they pass. Only what an audio effect without an editor needs.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
#define PLUMBRA_VST3_API __stdcall
#else
#define PLUMBRA_VST3_API
#endif

namespace plumbra::vst3 {

using int8 = char;
using uint8 = uint8_t;
using int16 = int16_t;
using uint16 = uint16_t;
using int32 = int32_t;
using uint32 = uint32_t;
using int64 = int64_t;
using uint64 = uint64_t;
using tresult = int32;
using TBool = uint8;
using char8 = char;
using char16 = char16_t;
using TChar = char16_t;
using String128 = TChar[128];
using FIDString = const char*;
using TUID = char[16];
using ParamID = uint32;
using ParamValue = double;
using Sample32 = float;
using Sample64 = double;
using SampleRate = double;
using SpeakerArrangement = uint64;
using MediaType = int32;
using BusDirection = int32;
using BusType = int32;
using IoMode = int32;
using UnitID = int32;

#if defined(_WIN32)
inline constexpr tresult kResultOk = 0;
inline constexpr tresult kResultTrue = 0;
inline constexpr tresult kResultFalse = 1;
inline constexpr tresult kNoInterface = static_cast<tresult>(0x80004002u);
inline constexpr tresult kInvalidArgument = static_cast<tresult>(0x80070057u);
inline constexpr tresult kNotImplemented = static_cast<tresult>(0x80004001u);
inline constexpr tresult kInternalError = static_cast<tresult>(0x80004005u);
inline constexpr tresult kNotInitialized = static_cast<tresult>(0x8000FFFFu);
inline constexpr tresult kOutOfMemory = static_cast<tresult>(0x8007000Eu);
#else
inline constexpr tresult kResultOk = 0;
inline constexpr tresult kResultTrue = 0;
inline constexpr tresult kResultFalse = 1;
inline constexpr tresult kNoInterface = -1;
inline constexpr tresult kInvalidArgument = 2;
inline constexpr tresult kNotImplemented = 3;
inline constexpr tresult kInternalError = 4;
inline constexpr tresult kNotInitialized = 5;
inline constexpr tresult kOutOfMemory = 6;
#endif

// A 16-byte identifier from its four words, in the platform's byte order
// (COM GUID order on Windows, big-endian words elsewhere).
struct Uid {
    char bytes[16];
};
constexpr Uid makeUid(uint32 l1, uint32 l2, uint32 l3, uint32 l4)
{
    Uid u{};
    auto put = [&u](int at, uint32 w, bool little) {
        for (int i = 0; i < 4; ++i)
            u.bytes[at + i] = static_cast<char>((w >> (little ? 8 * i : 8 * (3 - i))) & 0xFF);
    };
#if defined(_WIN32)
    put(0, l1, true);
    u.bytes[4] = static_cast<char>((l2 >> 16) & 0xFF);
    u.bytes[5] = static_cast<char>((l2 >> 24) & 0xFF);
    u.bytes[6] = static_cast<char>(l2 & 0xFF);
    u.bytes[7] = static_cast<char>((l2 >> 8) & 0xFF);
#else
    put(0, l1, false);
    put(4, l2, false);
#endif
    put(8, l3, false);
    put(12, l4, false);
    return u;
}
inline bool sameUid(const void* a, const Uid& b)
{
    return a && std::memcmp(a, b.bytes, 16) == 0;
}

inline constexpr Uid kFUnknownIid = makeUid(0x00000000, 0x00000000, 0xC0000000, 0x00000046);
inline constexpr Uid kIPluginBaseIid = makeUid(0x22888DDB, 0x156E45AE, 0x8358B348, 0x08190625);
inline constexpr Uid kIPluginFactoryIid = makeUid(0x7A4D811C, 0x52114A1F, 0xAED9D2EE, 0x0B43BF9F);
inline constexpr Uid kIPluginFactory2Iid = makeUid(0x0007B650, 0xF24B4C0B, 0xA464EDB9, 0xF00B2ABB);
inline constexpr Uid kIPluginFactory3Iid = makeUid(0x4555A2AB, 0xC1234E57, 0x9B122910, 0x36878931);
inline constexpr Uid kIComponentIid = makeUid(0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802);
inline constexpr Uid kIAudioProcessorIid = makeUid(0x42043F99, 0xB7DA453C, 0xA569E79D, 0x9AAEC33D);
inline constexpr Uid kIProcessContextRequirementsIid = makeUid(0x2A654303, 0xEF764E3D, 0x95B5FE83, 0x730EF6D0);
inline constexpr Uid kIEditControllerIid = makeUid(0xDCD7BBE3, 0x7742448D, 0xA874AACC, 0x979C759E);
inline constexpr Uid kIConnectionPointIid = makeUid(0x70A4156F, 0x6E6E4026, 0x989148BF, 0xAA60D8D1);
inline constexpr Uid kIComponentHandlerIid = makeUid(0x93A0BEA3, 0x0BD045DB, 0x8E890B0C, 0xC1E46AC6);
inline constexpr Uid kIHostApplicationIid = makeUid(0x58E595CC, 0xDB2D4969, 0x8B6AAF8C, 0x36A664E5);
inline constexpr Uid kIParameterChangesIid = makeUid(0xA4779663, 0x0BB64A56, 0xB44384A8, 0x466FEB9D);
inline constexpr Uid kIParamValueQueueIid = makeUid(0x01263A18, 0xED074F6F, 0x98C9D356, 0x4686F9BA);
inline constexpr Uid kIBStreamIid = makeUid(0xC3BF6EA2, 0x30994752, 0x9B6BF990, 0x1EE33E9B);

// ---- enums and constants ----
enum : int32 { kAudio = 0, kEvent = 1 };
enum : int32 { kInput = 0, kOutput = 1 };
enum : int32 { kMain = 0, kAux = 1 };
enum : uint32 { kDefaultActive = 1 };
enum : int32 { kRealtime = 0, kPrefetch = 1, kOffline = 2 };
enum : int32 { kSample32 = 0, kSample64 = 1 };
enum : int32 { kManyInstances = 0x7FFFFFFF };
enum : int32 { kFactoryUnicode = 16 };
enum : int32 { kCanAutomate = 0x1, kIsReadOnly = 0x2, kIsList = 0x8, kIsBypass = 0x10000 };
enum : int32 { kIBSeekSet = 0, kIBSeekCur = 1, kIBSeekEnd = 2 };
enum : int32 { kLatencyChanged = 0x8 };
inline constexpr SpeakerArrangement kSpeakerArrEmpty = 0;
inline constexpr SpeakerArrangement kSpeakerArrMono = 0x80000;
inline constexpr SpeakerArrangement kSpeakerArrStereo = 0x3;
inline constexpr uint32 kNoTail = 0;

// ---- structures (natural alignment equals the interface's packing) ----
struct PFactoryInfo {
    char vendor[64];
    char url[256];
    char email[128];
    int32 flags;
};
struct PClassInfo {
    TUID cid;
    int32 cardinality;
    char category[32];
    char name[64];
};
struct PClassInfo2 {
    TUID cid;
    int32 cardinality;
    char category[32];
    char name[64];
    uint32 classFlags;
    char subCategories[128];
    char vendor[64];
    char version[64];
    char sdkVersion[64];
};
struct PClassInfoW {
    TUID cid;
    int32 cardinality;
    char category[32];
    char16 name[64];
    uint32 classFlags;
    char subCategories[128];
    char16 vendor[64];
    char16 version[64];
    char16 sdkVersion[64];
};
struct ProcessSetup {
    int32 processMode;
    int32 symbolicSampleSize;
    int32 maxSamplesPerBlock;
    SampleRate sampleRate;
};
struct AudioBusBuffers {
    int32 numChannels;
    uint64 silenceFlags;
    union {
        Sample32** channelBuffers32;
        Sample64** channelBuffers64;
    };
};
class IParameterChanges;
class IEventList;
struct ProcessContext;
struct ProcessData {
    int32 processMode;
    int32 symbolicSampleSize;
    int32 numSamples;
    int32 numInputs;
    int32 numOutputs;
    AudioBusBuffers* inputs;
    AudioBusBuffers* outputs;
    IParameterChanges* inputParameterChanges;
    IParameterChanges* outputParameterChanges;
    IEventList* inputEvents;
    IEventList* outputEvents;
    ProcessContext* processContext;
};
struct BusInfo {
    MediaType mediaType;
    BusDirection direction;
    int32 channelCount;
    String128 name;
    BusType busType;
    uint32 flags;
};
struct RoutingInfo {
    MediaType mediaType;
    int32 busIndex;
    int32 channel;
};
struct ParameterInfo {
    ParamID id;
    String128 title;
    String128 shortTitle;
    String128 units;
    int32 stepCount;
    ParamValue defaultNormalizedValue;
    UnitID unitId;
    int32 flags;
};

static_assert(sizeof(PFactoryInfo) == 452 && sizeof(PClassInfo) == 116);
static_assert(sizeof(PClassInfo2) == 440 && sizeof(PClassInfoW) == 696);
static_assert(sizeof(ProcessSetup) == 24 && sizeof(AudioBusBuffers) == 24);
static_assert(sizeof(ProcessData) == (sizeof(void*) == 4 ? 48 : 80));
static_assert(sizeof(BusInfo) == 276 && sizeof(ParameterInfo) == 792);

// ---- interfaces ----
#define PLUMBRA_PURE(ret, name, ...) virtual ret PLUMBRA_VST3_API name(__VA_ARGS__) = 0

class FUnknown {
public:
    PLUMBRA_PURE(tresult, queryInterface, const TUID iid, void** obj);
    PLUMBRA_PURE(uint32, addRef);
    PLUMBRA_PURE(uint32, release);
};

class IPluginBase : public FUnknown {
public:
    PLUMBRA_PURE(tresult, initialize, FUnknown* context);
    PLUMBRA_PURE(tresult, terminate);
};

class IPluginFactory : public FUnknown {
public:
    PLUMBRA_PURE(tresult, getFactoryInfo, PFactoryInfo* info);
    PLUMBRA_PURE(int32, countClasses);
    PLUMBRA_PURE(tresult, getClassInfo, int32 index, PClassInfo* info);
    PLUMBRA_PURE(tresult, createInstance, FIDString cid, FIDString iid, void** obj);
};
class IPluginFactory2 : public IPluginFactory {
public:
    PLUMBRA_PURE(tresult, getClassInfo2, int32 index, PClassInfo2* info);
};
class IPluginFactory3 : public IPluginFactory2 {
public:
    PLUMBRA_PURE(tresult, getClassInfoUnicode, int32 index, PClassInfoW* info);
    PLUMBRA_PURE(tresult, setHostContext, FUnknown* context);
};

class IBStream : public FUnknown {
public:
    PLUMBRA_PURE(tresult, read, void* buffer, int32 numBytes, int32* numBytesRead);
    PLUMBRA_PURE(tresult, write, void* buffer, int32 numBytes, int32* numBytesWritten);
    PLUMBRA_PURE(tresult, seek, int64 pos, int32 mode, int64* result);
    PLUMBRA_PURE(tresult, tell, int64* pos);
};

class IComponent : public IPluginBase {
public:
    PLUMBRA_PURE(tresult, getControllerClassId, TUID classId);
    PLUMBRA_PURE(tresult, setIoMode, IoMode mode);
    PLUMBRA_PURE(int32, getBusCount, MediaType type, BusDirection dir);
    PLUMBRA_PURE(tresult, getBusInfo, MediaType type, BusDirection dir, int32 index, BusInfo& bus);
    PLUMBRA_PURE(tresult, getRoutingInfo, RoutingInfo& inInfo, RoutingInfo& outInfo);
    PLUMBRA_PURE(tresult, activateBus, MediaType type, BusDirection dir, int32 index, TBool state);
    PLUMBRA_PURE(tresult, setActive, TBool state);
    PLUMBRA_PURE(tresult, setState, IBStream* state);
    PLUMBRA_PURE(tresult, getState, IBStream* state);
};

class IAudioProcessor : public FUnknown {
public:
    PLUMBRA_PURE(tresult, setBusArrangements, SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                 int32 numOuts);
    PLUMBRA_PURE(tresult, getBusArrangement, BusDirection dir, int32 index, SpeakerArrangement& arr);
    PLUMBRA_PURE(tresult, canProcessSampleSize, int32 symbolicSampleSize);
    PLUMBRA_PURE(uint32, getLatencySamples);
    PLUMBRA_PURE(tresult, setupProcessing, ProcessSetup& setup);
    PLUMBRA_PURE(tresult, setProcessing, TBool state);
    PLUMBRA_PURE(tresult, process, ProcessData& data);
    PLUMBRA_PURE(uint32, getTailSamples);
};

class IProcessContextRequirements : public FUnknown {
public:
    PLUMBRA_PURE(uint32, getProcessContextRequirements);
};

class IComponentHandler : public FUnknown {
public:
    PLUMBRA_PURE(tresult, beginEdit, ParamID id);
    PLUMBRA_PURE(tresult, performEdit, ParamID id, ParamValue valueNormalized);
    PLUMBRA_PURE(tresult, endEdit, ParamID id);
    PLUMBRA_PURE(tresult, restartComponent, int32 flags);
};

class IPlugView;
class IEditController : public IPluginBase {
public:
    PLUMBRA_PURE(tresult, setComponentState, IBStream* state);
    // Slots 6 and 7 are named setState/getState in the interface; they are given
    // their own names here so that an object that is also an IComponent keeps
    // two separate pairs of slots.
    PLUMBRA_PURE(tresult, setControllerState, IBStream* state);
    PLUMBRA_PURE(tresult, getControllerState, IBStream* state);
    PLUMBRA_PURE(int32, getParameterCount);
    PLUMBRA_PURE(tresult, getParameterInfo, int32 paramIndex, ParameterInfo& info);
    PLUMBRA_PURE(tresult, getParamStringByValue, ParamID id, ParamValue valueNormalized, String128 string);
    PLUMBRA_PURE(tresult, getParamValueByString, ParamID id, TChar* string, ParamValue& valueNormalized);
    PLUMBRA_PURE(ParamValue, normalizedParamToPlain, ParamID id, ParamValue valueNormalized);
    PLUMBRA_PURE(ParamValue, plainParamToNormalized, ParamID id, ParamValue plainValue);
    PLUMBRA_PURE(ParamValue, getParamNormalized, ParamID id);
    PLUMBRA_PURE(tresult, setParamNormalized, ParamID id, ParamValue value);
    PLUMBRA_PURE(tresult, setComponentHandler, IComponentHandler* handler);
    PLUMBRA_PURE(IPlugView*, createView, FIDString name);
};

class IParamValueQueue : public FUnknown {
public:
    PLUMBRA_PURE(ParamID, getParameterId);
    PLUMBRA_PURE(int32, getPointCount);
    PLUMBRA_PURE(tresult, getPoint, int32 index, int32& sampleOffset, ParamValue& value);
    PLUMBRA_PURE(tresult, addPoint, int32 sampleOffset, ParamValue value, int32& index);
};

class IParameterChanges : public FUnknown {
public:
    PLUMBRA_PURE(int32, getParameterCount);
    PLUMBRA_PURE(IParamValueQueue*, getParameterData, int32 index);
    PLUMBRA_PURE(IParamValueQueue*, addParameterData, const ParamID& id, int32& index);
};

class IHostApplication : public FUnknown {
public:
    PLUMBRA_PURE(tresult, getName, String128 name);
    PLUMBRA_PURE(tresult, createInstance, TUID cid, TUID iid, void** obj);
};

#undef PLUMBRA_PURE

// The module's entry points, as the loader looks them up.
using GetFactoryProc = IPluginFactory*(PLUMBRA_VST3_API*)();
using ModuleEntryProc = bool (*)(void*);
using ModuleExitProc = bool (*)();
using InitDllProc = bool (*)();
using ExitDllProc = bool (*)();

}  // namespace plumbra::vst3
