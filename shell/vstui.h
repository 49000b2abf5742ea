// The parameter bridge: the control collector `vstUI` receives the processor's
// control declarations and builds the host parameter table `fUITable`, one
// parameter object per control, in declaration order. Each object points at
// its control value inside the processor and converts between the host's
// normalised range 0..1 and the control's own range.
//
// Threads: writes (setNormalized, setPlain) may come from any host thread while
// the audio thread reads the same control value, so every access goes through
// the relaxed atomic loadControl / storeControl.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dsp/dsp.h"
#include "shell/vst2.h"

namespace plumbra {

// Parameter names are written whole, but never more than this many bytes
// (terminator included): the largest name field the interface defines.
inline constexpr int kMaxParamNameBytes = kVstMaxNameLen;

// Copies at most maxBytes - 1 characters of src and a terminator into dst.
void copyBounded(char* dst, const char* src, int maxBytes);

class vstUIObject {
public:
    vstUIObject(const char* label, float* zone);
    virtual ~vstUIObject() = default;

    vstUIObject(const vstUIObject&) = delete;
    vstUIObject& operator=(const vstUIObject&) = delete;

    // Writes the whole label with its terminator (at most kMaxParamNameBytes).
    virtual void getName(char* text);
    // Stores a value from the host's normalised range; base: clamped to 0..1.
    virtual void setNormalized(double f);
    // Stores a value in the control's own range; base: clamped to 0..1.
    virtual void setPlain(double v);
    virtual float getNormalized();
    virtual float getPlain();
    // Writes the display text of the stored value.
    void getDisplay(char* text) { formatValue(load(), text); }
    // The value a normalised write would store, without storing it; base: clamped to 0..1.
    virtual float plainOfNormalized(double f) const;
    // Writes the display text of any value; base: the value with "%f".
    virtual void formatValue(float value, char* text) const;
    // Sum of the label's characters as signed 8-bit values.
    virtual VstInt32 labelSum();

    float* zone() const { return fZone; }

protected:
    float load() const;
    void store(float x);

    std::string fLabel;  // owned copy of the control's label
    float* fZone;        // the control value inside the processor
};

// A continuous control with its range; displayed with a precision derived from its step.
class vstSlider : public vstUIObject {
public:
    vstSlider(const char* label, float* zone, float init, float min, float max, float step);

    void setNormalized(double f) override;
    void setPlain(double v) override;
    float getNormalized() override;
    float plainOfNormalized(double f) const override { return valueOfNormalized(f); }
    void formatValue(float value, char* text) const override;

    float init() const { return fInit; }
    float min() const { return fMin; }
    float max() const { return fMax; }
    float step() const { return fStep; }
    int precision() const { return fPrecision; }

    // Number of decimals that a step needs: 0 for a whole step, otherwise how many
    // times (at most 6) it is multiplied by ten before it becomes whole.
    static int precisionOfStep(float step);

    // The value a normalised write stores: v = min + (max - min) * f in single
    // precision, held to the range and rounded to the nearest point of a grid a
    // thousandth of a step apart (0.001 dB, 0.1 Hz of "Lowpass Filter"; a
    // hundredth or a tenth where the values are too large for a finer grid in
    // single precision), whose points include every multiple of the step from
    // the minimum as the float nearest its decimal value. So a value a host
    // reads back as a normalised float, directly or through 8 significant
    // digits of text, and writes again lands on the same value, bit for bit,
    // and the defaults are reachable.
    float valueOfNormalized(double f) const;

private:
    float fInit;
    float fMin;
    float fMax;
    float fStep;
    int fPrecision;   // 0 to 6
    double fQuantum;  // grid spacing of written values, a decimal fraction of the step
};

// An on/off control holding 0.0 or 1.0.
class vstCheckButton : public vstUIObject {
public:
    using vstUIObject::vstUIObject;
    void setNormalized(double f) override;
    float plainOfNormalized(double f) const override;
    void formatValue(float value, char* text) const override;
};

// A momentary control holding 0.0 or 1.0.
class vstButton : public vstUIObject {
public:
    using vstUIObject::vstUIObject;
    void setNormalized(double f) override;
    float plainOfNormalized(double f) const override;
    void formatValue(float value, char* text) const override;
};

class vstUI : public UIReal<float> {
public:
    vstUI() = default;
    ~vstUI() override = default;

    // Layout groups and displays carry no host parameter.
    void openTabGroup(const char*) override {}
    void openRowGroup(const char*) override {}
    void openColumnGroup(const char*) override {}
    void closeGroup() override {}
    void addHorizontalMeter(const char*, float*, float, float) override {}
    void addVerticalMeter(const char*, float*, float, float) override {}
    void addResource(const char*, const char*, void**) override {}

    void addPushButton(const char* label, float* value) override;
    void addToggle(const char* label, float* value) override;
    void addVerticalFader(const char* label, float* value, float init, float min, float max, float step) override;
    void addHorizontalFader(const char* label, float* value, float init, float min, float max, float step) override;
    void addNumberBox(const char* label, float* value, float init, float min, float max, float step) override;
    void annotate(float* value, const char* key, const char* text) override;

    VstInt32 size() const { return static_cast<VstInt32>(fUITable.size()); }

    // Parameter object at index. The index must lie in 0..size()-1: callers
    // check the host's index first, and a violation stops the program.
    vstUIObject& at(VstInt32 index);

    // The text stored under key for a control value, or null.
    const char* metadata(const float* value, const char* key) const;

private:
    std::vector<std::unique_ptr<vstUIObject>> fUITable;                  // index = host parameter index
    std::map<const float*, std::map<std::string, std::string>> fMetadata;  // per control value
};

}  // namespace plumbra

using plumbra::vstButton;
using plumbra::vstCheckButton;
using plumbra::vstSlider;
using plumbra::vstUI;
using plumbra::vstUIObject;
