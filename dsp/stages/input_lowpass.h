// Input lowpass: band-limits the mono input before any level detection.
//
// A 12th-order Butterworth lowpass (six sections, unity gain at DC, zeros at
// the Nyquist frequency) followed by a 6th-order elliptic lowpass (three
// sections, -0.2 dB at DC, -80 dB at the Nyquist frequency, notches at 2.0814,
// 2.7608 and 7.3168 times the corner in the prewarped domain), all at the
// "Lowpass Filter" corner. The coefficients follow the control once per block;
// the histories are kept across a change.
#pragma once

#include <algorithm>
#include <array>

#include "dsp/blocks/sections.h"
#include "dsp/blocks/skewed_cascade.h"

namespace plumbra {

struct InputLowpass {
    // Analog prototype of one section: (p*s^2 + q) / (s^2 + d*s + e).
    struct Prototype {
        float d, e;  // denominator damping and constant
        float p, q;  // numerator s^2 and constant terms
    };

    // Six Butterworth sections, damping 2*sin((2j - 1)*pi/24) for j = 6 down to
    // 1, then the three sections of the elliptic lowpass.
    static constexpr std::array<Prototype, 9> kSections = {{
        {1.9828898f, 1.0f, 0.0f, 1.0f},
        {1.847759f, 1.0f, 0.0f, 1.0f},
        {1.5867066f, 1.0f, 0.0f, 1.0f},
        {1.2175229f, 1.0f, 0.0f, 1.0f},
        {0.76536685f, 1.0f, 0.0f, 1.0f},
        {0.26105237f, 1.0f, 0.0f, 1.0f},
        {0.78241307f, 0.2452915f, 0.0001f, 0.0004332272f},
        {0.51247865f, 0.6896214f, 1.0f, 7.6217313f},
        {0.16840488f, 1.0693583f, 1.0f, 53.53615f},
    }};

    // The sections in processing order, run skewed in four lanes.
    SkewedCascadeT<Lane4, kSections.size()> sections;

    // Designs every section for the corner fc (Hz) by the bilinear transform
    // with k = 1/K, K = tan(pi*T*fc). The corner is kept below fs/2, which only
    // matters when "Lowpass Filter" exceeds the Nyquist frequency (rates below
    // about 30 kHz).
    void design(float fc, const RateConstants& rc)
    {
        const float k = kInputCorners.prewarp(fc, rc);
        for (std::size_t j = 0; j < kSections.size(); ++j) {
            const Prototype& p = kSections[j];
            Sos s{};
            designBilinear(s, k, p.d, p.e, p.p, p.q);
            sections.set(j, s);
        }
    }
    void clear() { sections.clear(); }
    // A run x[0..len-1] in place.
    void processRun(float* x, int len)
    {
        sections.processRun(x, len, [](const SosT<Lane4>& s, SosT<Lane4>::History& h, Lane4 v) { return s.processWith(h, v); });
    }
    // One sample, a run of one.
    float process(float x)
    {
        processRun(&x, 1);
        return x;
    }
};

static_assert(std::is_trivially_copyable_v<InputLowpass>);

}  // namespace plumbra
