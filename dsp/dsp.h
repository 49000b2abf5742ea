// The abstract processor interface, the control-collector interface and the
// metadata collector. The plug-in shell knows the processor only through these.
#pragma once

#include <cstdint>
#include <cstring>

// Control collector: the processor declares each of its controls to one of these.
// Every control value is a float owned by the processor; the collector keeps its address.
template <typename REAL>
class UIReal {
public:
    UIReal() = default;
    virtual ~UIReal() = default;

    // Layout groups.
    virtual void openTabGroup(const char* label) = 0;
    virtual void openRowGroup(const char* label) = 0;
    virtual void openColumnGroup(const char* label) = 0;
    virtual void closeGroup() = 0;

    // Active controls.
    virtual void addPushButton(const char* label, REAL* value) = 0;
    virtual void addToggle(const char* label, REAL* value) = 0;
    virtual void addVerticalFader(const char* label, REAL* value, REAL init, REAL min, REAL max, REAL step) = 0;
    virtual void addHorizontalFader(const char* label, REAL* value, REAL init, REAL min, REAL max, REAL step) = 0;
    virtual void addNumberBox(const char* label, REAL* value, REAL init, REAL min, REAL max, REAL step) = 0;

    // Passive displays.
    virtual void addHorizontalMeter(const char* label, REAL* value, REAL min, REAL max) = 0;
    virtual void addVerticalMeter(const char* label, REAL* value, REAL min, REAL max) = 0;

    // External resource registration; this processor never uses it.
    virtual void addResource(const char* label, const char* location, void** handle) = 0;

    // Attaches a key/text pair to a control; called just before the control is registered.
    virtual void annotate(REAL* value, const char* key, const char* text) = 0;

    // Size in bytes of the sample type the collector was built for.
    virtual int sampleSize() { return static_cast<int>(sizeof(REAL)); }
};

// Metadata collector interface.
class Meta {
public:
    virtual ~Meta() = default;
    virtual void declare(const char* key, const char* value) = 0;
};

// Ordered key -> text map of the processor's metadata. Keys and texts are string
// literals that live as long as the program, so only their addresses are kept.
class MetaMap final : public Meta {
public:
    static constexpr int kCapacity = 32;

    void declare(const char* key, const char* value) override
    {
        for (int i = 0; i < fCount; ++i) {
            if (std::strcmp(fKeys[i], key) == 0) {
                fValues[i] = value;  // a repeated key replaces the earlier text
                return;
            }
        }
        if (fCount < kCapacity) {
            fKeys[fCount] = key;
            fValues[fCount] = value;
            ++fCount;
        }
    }

    // The text stored under key, or nullptr.
    const char* find(const char* key) const
    {
        for (int i = 0; i < fCount; ++i)
            if (std::strcmp(fKeys[i], key) == 0) return fValues[i];
        return nullptr;
    }

    int size() const { return fCount; }
    const char* keyAt(int i) const { return fKeys[i]; }
    const char* valueAt(int i) const { return fValues[i]; }

private:
    const char* fKeys[kCapacity] = {};
    const char* fValues[kCapacity] = {};
    int fCount = 0;
};

// The abstract processor.
class dsp {
public:
    dsp() = default;
    virtual ~dsp() = default;

    virtual int32_t inputCount() = 0;
    virtual int32_t outputCount() = 0;
    virtual void declareControls(UIReal<float>* ui) = 0;
    virtual int32_t currentSampleRate() = 0;
    virtual void initialise(int32_t sampleRate) = 0;
    virtual void initInstance(int32_t sampleRate) = 0;
    virtual void computeConstants(int32_t sampleRate) = 0;
    virtual void resetControls() = 0;
    virtual void clearState() = 0;
    virtual dsp* clone() = 0;
    virtual void declareMetadata(Meta* m) = 0;
    virtual void processBlock(int32_t count, float** inputs, float** outputs) = 0;
    virtual void processBlock(double /*timeStamp*/, int32_t count, float** inputs, float** outputs)
    {
        processBlock(count, inputs, outputs);
    }
};
