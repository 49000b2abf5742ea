// Parameter objects and the control collector.
#include "shell/vstui.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dsp/mydsp.h"
#include "shell/checks.h"

namespace plumbra {

void copyBounded(char* dst, const char* src, int maxBytes)
{
    if (maxBytes <= 0) return;
    const std::size_t n = std::min(std::strlen(src), static_cast<std::size_t>(maxBytes - 1));
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

namespace {

// Stores 0.0 or 1.0: on above one half.
float switchValue(double f)
{
    return f > 0.5 ? 1.0f : 0.0f;
}

void writeSwitchDisplay(char* text, float value)
{
    copyBounded(text, value > 0.5f ? "ON" : "OFF", kMaxParamNameBytes);
}

// A float clamped to lo..hi; a value that is not >= lo (NaN included) gives lo.
float clampRange(float v, float lo, float hi)
{
    if (!(v >= lo)) return lo;
    if (v > hi) return hi;
    return v;
}

}  // namespace

// ---- vstUIObject --------------------------------------------------------------

vstUIObject::vstUIObject(const char* label, float* zone) : fLabel(label ? label : ""), fZone(zone) {}

float vstUIObject::load() const
{
    return loadControl(*fZone);
}

void vstUIObject::store(float x)
{
    storeControl(*fZone, x);
}

void vstUIObject::getName(char* text)
{
    copyBounded(text, fLabel.c_str(), kMaxParamNameBytes);
}

void vstUIObject::setNormalized(double f)
{
    store(plainOfNormalized(f));
}

float vstUIObject::plainOfNormalized(double f) const
{
    return clampRange(static_cast<float>(f), 0.0f, 1.0f);
}

void vstUIObject::setPlain(double v)
{
    store(clampRange(static_cast<float>(v), 0.0f, 1.0f));
}

float vstUIObject::getNormalized()
{
    return load();
}

float vstUIObject::getPlain()
{
    return load();
}

void vstUIObject::formatValue(float value, char* text) const
{
    char buffer[kMaxParamNameBytes + 320];  // "%f" of the largest float needs 47 characters
    std::snprintf(buffer, sizeof(buffer), "%f", static_cast<double>(value));
    copyBounded(text, buffer, kMaxParamNameBytes);
}

VstInt32 vstUIObject::labelSum()
{
    VstInt32 sum = 0;
    for (char c : fLabel) sum += static_cast<signed char>(c);
    return sum;
}

// ---- vstSlider ----------------------------------------------------------------

vstSlider::vstSlider(const char* label, float* zone, float init, float min, float max, float step)
    : vstUIObject(label, zone), fInit(init), fMin(min), fMax(max), fStep(step), fPrecision(precisionOfStep(step))
{
    // The step as the decimal number it stands for (0.1, not 0.1f), from the
    // precision its display uses.
    const double scale = std::pow(10.0, fPrecision);
    const double decimalStep = std::floor(static_cast<double>(step) * scale + 0.5) / scale;
    // The finest of a thousandth, a hundredth or a tenth of the step that single
    // precision holds with room to spare: at least 32 ulps of the largest value,
    // and well above what a normalised float and its text can resolve.
    const float largest = std::max(std::fabs(min), std::fabs(max));
    const double ulp = static_cast<double>(std::nextafter(largest, INFINITY) - largest);
    const double finest = std::max(32.0 * ulp, 2e-6 * static_cast<double>(max - min));
    fQuantum = 0.0;
    if (decimalStep > 0.0) {
        for (double divisor : {1000.0, 100.0, 10.0, 1.0}) {
            fQuantum = decimalStep / divisor;
            if (fQuantum >= finest) break;
        }
    }
}

int vstSlider::precisionOfStep(float step)
{
    int precision = 0;
    float s = step;
    while (precision < 6 && std::floor(s) != s) {
        s = s * 10.0f;
        ++precision;
    }
    return precision;
}

float vstSlider::valueOfNormalized(double f) const
{
    const float v = clampRange(fMin + (fMax - fMin) * static_cast<float>(f), fMin, fMax);
    if (!(fQuantum > 0.0)) return v;
    // floor(x + 0.5) rather than nearbyint: independent of the host's rounding mode.
    const double j = std::floor((static_cast<double>(v) - static_cast<double>(fMin)) / fQuantum + 0.5);
    return clampRange(static_cast<float>(static_cast<double>(fMin) + j * fQuantum), fMin, fMax);
}

void vstSlider::setNormalized(double f)
{
    store(valueOfNormalized(f));
}

void vstSlider::setPlain(double v)
{
    store(clampRange(static_cast<float>(v), fMin, fMax));
}

float vstSlider::getNormalized()
{
    return (load() - fMin) / (fMax - fMin);
}

void vstSlider::formatValue(float value, char* text) const
{
    char buffer[kMaxParamNameBytes + 320];
    if (fPrecision > 0) {
        std::snprintf(buffer, sizeof(buffer), "%.*f", fPrecision, static_cast<double>(value));
    } else {
        std::snprintf(buffer, sizeof(buffer), "%d", static_cast<int>(truncateToInt32(value)));
    }
    copyBounded(text, buffer, kMaxParamNameBytes);
}

// ---- vstCheckButton, vstButton -------------------------------------------------

void vstCheckButton::setNormalized(double f)
{
    store(switchValue(f));
}

float vstCheckButton::plainOfNormalized(double f) const
{
    return switchValue(f);
}

void vstCheckButton::formatValue(float value, char* text) const
{
    writeSwitchDisplay(text, value);
}

void vstButton::setNormalized(double f)
{
    store(switchValue(f));
}

float vstButton::plainOfNormalized(double f) const
{
    return switchValue(f);
}

void vstButton::formatValue(float value, char* text) const
{
    writeSwitchDisplay(text, value);
}

// ---- vstUI --------------------------------------------------------------------

void vstUI::addPushButton(const char* label, float* value)
{
    fUITable.push_back(std::make_unique<vstButton>(label, value));
}

void vstUI::addToggle(const char* label, float* value)
{
    fUITable.push_back(std::make_unique<vstCheckButton>(label, value));
}

void vstUI::addVerticalFader(const char* label, float* value, float init, float min, float max, float step)
{
    fUITable.push_back(std::make_unique<vstSlider>(label, value, init, min, max, step));
}

void vstUI::addHorizontalFader(const char* label, float* value, float init, float min, float max, float step)
{
    fUITable.push_back(std::make_unique<vstSlider>(label, value, init, min, max, step));
}

void vstUI::addNumberBox(const char* label, float* value, float init, float min, float max, float step)
{
    fUITable.push_back(std::make_unique<vstSlider>(label, value, init, min, max, step));
}

void vstUI::annotate(float* value, const char* key, const char* text)
{
    fMetadata[value][key ? key : ""] = text ? text : "";  // a repeated key replaces the text
}

vstUIObject& vstUI::at(VstInt32 index)
{
    PLUMBRA_CHECK(index >= 0);
    PLUMBRA_CHECK(index < (VstInt32)fUITable.size());
    return *fUITable[static_cast<std::size_t>(index)];
}

const char* vstUI::metadata(const float* value, const char* key) const
{
    const auto control = fMetadata.find(value);
    if (control == fMetadata.end()) return nullptr;
    const auto entry = control->second.find(key);
    return entry == control->second.end() ? nullptr : entry->second.c_str();
}

}  // namespace plumbra
