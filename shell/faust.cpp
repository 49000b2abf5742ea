// The plug-in object: descriptor set-up, parameters, programs, events and queries.
#include "shell/faust.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "shell/checks.h"

namespace plumbra {

namespace {

// Lengths of the identification texts; the buffer is padded with zero bytes up
// to the length and one more terminating zero is written.
constexpr int kEffectNameLength = kVstMaxEffectNameLen;   // 33 bytes written
constexpr int kVendorStringLength = kVstMaxVendorStrLen;  // 65 bytes written
constexpr int kProgramNameLength = kVstMaxProgNameLen;    // 25 bytes written
constexpr int kParamLabelLength = kVstMaxParamStrLen;     // at most 9 bytes written

// Copies up to length characters, pads with zero bytes to length, and sets
// byte length to zero: always length + 1 bytes written.
void copyPadded(char* dst, const char* src, int length)
{
    int i = 0;
    for (; i < length && src[i] != 0; ++i) dst[i] = src[i];
    for (; i <= length; ++i) dst[i] = 0;
}

// Writes one pin's label and short label, each followed by the pin number, and its flags.
void writePin(VstPinProperties* properties, const char* labelPrefix, const char* shortPrefix, VstInt32 index,
              VstInt32 count)
{
    char text[kVstMaxLabelLen + 16];
    std::snprintf(text, sizeof(text), "%s%d", labelPrefix, static_cast<int>(index));
    copyBounded(properties->label, text, static_cast<int>(sizeof(properties->label)));
    std::snprintf(text, sizeof(text), "%s%d", shortPrefix, static_cast<int>(index));
    copyBounded(properties->shortLabel, text, static_cast<int>(sizeof(properties->shortLabel)));
    properties->flags = kVstPinIsActive | (count == 2 ? kVstPinIsStereo : 0);
}

// MIDI status of a control-change message, and the controller numbers that
// mean "all notes off" (123) and "mono mode on" (126).
constexpr unsigned char kStatusControlChange = 0xB0;
constexpr unsigned char kControllerAllNotesOff = 123;
constexpr unsigned char kControllerMonoOn = 126;

// byteSize counts the bytes after the type and byteSize fields; an event is
// read only if it covers the status byte and the first data byte.
constexpr VstInt32 kMidiBytesNeeded =
    static_cast<VstInt32>(offsetof(VstMidiEvent, midiData) + 2 - offsetof(VstMidiEvent, deltaFrames));

}  // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster)
{
    // Value-initialised: every byte of the processor starts at zero.
    auto processor = std::make_unique<mydsp>();
    auto ui = std::make_unique<vstUI>();
    processor->declareControls(ui.get());
    return new Faust(audioMaster, std::move(processor), std::move(ui));
}

Faust::Faust(audioMasterCallback audioMaster_, std::unique_ptr<mydsp> processor, std::unique_ptr<vstUI> ui)
    : AudioEffectX(audioMaster_, 1, ui->size()), fDSP(std::move(processor)), fDSPUI(std::move(ui))
{
    copyPadded(programName, "Default", kProgramNameLength);

    cEffect.numInputs = fDSP->inputCount();
    cEffect.numOutputs = fDSP->outputCount();
    cEffect.flags |= effFlagsCanReplacing;
    if (fDSP->inputCount() == 0) {
        cEffect.flags |= effFlagsIsSynth;
        if (fDSP->outputCount() < 1)
            std::fprintf(stderr, "*** faust: vsti: No signal inputs or outputs, and Faust has no MIDI outputs!\n");
    }
    cEffect.uniqueID = computeUniqueId();
    // The output trails the input by the same number of samples at every rate.
    cEffect.initialDelay = kLatencySamples;

    fDSP->initialise(truncateToInt32(sampleRate));
}

Faust::~Faust() = default;

// Unique ID: the first four characters of the processor's "id" text, packed
// big-endian; without such a text, "FAUS" plus the label checksum modulo 128.
VstInt32 Faust::computeUniqueId()
{
    const char* id = lookupMetadata("id", "FAUST");
    if (id[0] != 0) {
        uint32_t packed = static_cast<uint32_t>(static_cast<unsigned char>(id[0])) << 24;
        // Characters past the end of a shorter text count as zero.
        bool ended = false;
        for (int i = 1; i < 4; ++i) {
            ended = ended || id[i] == 0;
            const int32_t c = ended ? 0 : static_cast<signed char>(id[i]);
            packed += static_cast<uint32_t>(c) << (8 * (3 - i));
        }
        return static_cast<VstInt32>(packed);
    }
    VstInt32 sum = 0;
    for (VstInt32 i = 0; i < fDSPUI->size(); ++i) sum += fDSPUI->at(i).labelSum();
    return kFallbackUniqueId + sum % 128;
}

const char* Faust::lookupMetadata(const char* key, const char* fallback)
{
    MetaMap map;
    fDSP->declareMetadata(&map);
    const char* value = map.find(key);
    return value ? value : fallback;
}

// ---- lifecycle ----------------------------------------------------------------

void Faust::setSampleRate(float rate)
{
    if (!std::isfinite(rate)) return;
    AudioEffect::setSampleRate(rate);

    // Re-initialising also resets the controls; the host's parameter values
    // are kept across the change, so save them around it.
    std::vector<float> saved;
    saved.reserve(static_cast<std::size_t>(fDSPUI->size()));
    for (VstInt32 i = 0; i < fDSPUI->size(); ++i) saved.push_back(loadControl(*fDSPUI->at(i).zone()));
    fDSP->initialise(truncateToInt32(rate));
    for (VstInt32 i = 0; i < fDSPUI->size(); ++i) storeControl(*fDSPUI->at(i).zone(), saved[static_cast<std::size_t>(i)]);
}

// ---- programs -----------------------------------------------------------------

void Faust::setProgram(VstInt32 program)
{
    if (program >= 0 && program < numPrograms) {
        curProgram = program;
    } else {
        std::fprintf(stderr, "*** Faust vsti: setting program to %d is OUT OF RANGE\n", static_cast<int>(program));
    }
}

void Faust::getProgramName(char* name)
{
    copyPadded(name, programName, kProgramNameLength);
}

bool Faust::getProgramNameIndexed(VstInt32 /*category*/, VstInt32 index, char* text)
{
    if (index > 0) return false;
    getProgramName(text);
    return true;
}

void Faust::writeMidiProgram(MidiProgramName* name)
{
    getProgramName(name->name);
    name->midiProgram = 0;
    name->midiBankMsb = -1;
    name->midiBankLsb = -1;
    name->reserved = 0;
    name->parentCategoryIndex = -1;
    name->flags = 0;
}

VstInt32 Faust::getMidiProgramName(VstInt32 /*channel*/, MidiProgramName* name)
{
    if (name->thisProgramIndex != 0) return 0;
    writeMidiProgram(name);
    return 1;
}

VstInt32 Faust::getCurrentMidiProgram(VstInt32 channel, MidiProgramName* current)
{
    if (channel < 0 || channel >= 16) return -1;
    current->thisProgramIndex = 0;
    writeMidiProgram(current);
    return 0;
}

VstInt32 Faust::getMidiProgramCategory(VstInt32 /*channel*/, MidiProgramCategory* category)
{
    copyPadded(category->name, "Faust Patch", kProgramNameLength);
    category->parentCategoryIndex = -1;
    category->flags = 0;
    return 1;
}

// ---- parameters ---------------------------------------------------------------

void Faust::setParameter(VstInt32 index, float value)
{
    if (inRange(index)) fDSPUI->at(index).setNormalized(value);
}

float Faust::getParameter(VstInt32 index)
{
    return inRange(index) ? fDSPUI->at(index).getNormalized() : 0.0f;
}

void Faust::getParameterLabel(VstInt32 index, char* label)
{
    const char* unit = inRange(index) ? fDSPUI->metadata(fDSPUI->at(index).zone(), "unit") : nullptr;
    copyBounded(label, unit ? unit : "", kParamLabelLength + 1);
}

void Faust::getParameterDisplay(VstInt32 index, char* text)
{
    if (inRange(index))
        fDSPUI->at(index).getDisplay(text);
    else
        copyBounded(text, "IndexOut", kMaxParamNameBytes);
}

void Faust::getParameterName(VstInt32 index, char* text)
{
    if (inRange(index))
        fDSPUI->at(index).getName(text);
    else
        copyBounded(text, "IndexOut", kMaxParamNameBytes);
}

bool Faust::getParameterProperties(VstInt32 index, VstParameterProperties* properties)
{
    if (index < 0 || index >= fDSPUI->size()) return false;
    // Cleared first, so that every host sees the same bytes whatever it passed:
    // flags 0, and no field left as the host's uninitialised memory.
    std::memset(properties, 0, sizeof(VstParameterProperties));
    vstUIObject& object = fDSPUI->at(index);
    object.getName(properties->label);  // at most 64 bytes: fits the label field
    if (const auto* slider = dynamic_cast<const vstSlider*>(&object)) {
        properties->minInteger = truncateToInt32(slider->min());
        properties->maxInteger = truncateToInt32(slider->max());
        properties->stepInteger = truncateToInt32(slider->step());
    }
    return true;
}

// ---- audio and events ---------------------------------------------------------

void Faust::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames)
{
    // The processor reads the first input and writes both outputs.
    if (sampleFrames > 0 && (!inputs || !outputs || !inputs[0] || !outputs[0] || !outputs[1])) return;
    fDSP->processBlock(sampleFrames, inputs, outputs);
}

VstInt32 Faust::processEvents(VstEvents* events)
{
    // The list holds numEvents pointers from the events field on, although the
    // structure declares only two: they are read as bytes of the host's list, so
    // that any count is well defined.
    const auto* list = reinterpret_cast<const unsigned char*>(events) + offsetof(VstEvents, events);
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = nullptr;
        std::memcpy(&event, list + static_cast<std::size_t>(i) * sizeof(VstEvent*), sizeof(VstEvent*));
        if (!event || event->type != kVstMidiType || event->byteSize < kMidiBytesNeeded) continue;
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        const unsigned char status = static_cast<unsigned char>(midi->midiData[0]) & 0xF0;
        if (status == kStatusControlChange) {
            std::fprintf(stderr, "=== Faust vsti: CONTROL CHANGE (status 0xB0)!\n");
            const unsigned char controller = static_cast<unsigned char>(midi->midiData[1]);
            if (controller == kControllerAllNotesOff || controller == kControllerMonoOn)
                std::fprintf(stderr, "=== Faust vsti: ALL NOTES OFF!\n");
        }
        // Notes, pitch bend and every other message change nothing: the
        // processor has no pitch, gate or gain control.
    }
    return 1;
}

// ---- identification and pins ---------------------------------------------------

bool Faust::getEffectName(char* name)
{
    copyPadded(name, lookupMetadata("name", "Effect Name goes here"), kEffectNameLength);
    return true;
}

bool Faust::getVendorString(char* text)
{
    copyPadded(text, lookupMetadata("author", "Vendor String goes here"), kVendorStringLength);
    return true;
}

bool Faust::getProductString(char* text)
{
    copyPadded(text, lookupMetadata("name", "Product String goes here"), kVendorStringLength);
    return true;
}

VstInt32 Faust::getVendorVersion()
{
    // The longest decimal prefix of the version text; none reads as 0. Hosts and
    // stored projects have always seen 0 here; the release shows in plumbra --version,
    // the LV2 description and the VST 3 module information.
    return truncateToInt32(std::strtod(lookupMetadata("version", "0.0"), nullptr));
}

bool Faust::getInputProperties(VstInt32 index, VstPinProperties* properties)
{
    const VstInt32 count = fDSP->inputCount();
    if (index < 0 || index >= count) return false;
    writePin(properties, "Grame Faust DSP input: ", "In ", index, count);
    return true;
}

bool Faust::getOutputProperties(VstInt32 index, VstPinProperties* properties)
{
    const VstInt32 count = fDSP->outputCount();
    if (index < 0 || index >= count) return false;
    writePin(properties, "Grame Faust DSP output: ", "Out ", index, count);
    return true;
}

VstPlugCategory Faust::getPlugCategory()
{
    return fDSP->inputCount() == 0 ? kPlugCategSynth : kPlugCategUnknown;
}

}  // namespace plumbra
