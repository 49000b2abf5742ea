// Writes the LV2 bundle's description (manifest.ttl and the plug-in's .ttl)
// from the processor's own control table, meter table, port layout and
// metadata, so that the LV2 ports always describe the controls the VST 2 build
// exposes and the meters the processor keeps.
// Usage: generate_ttl BUNDLE_DIR BINARY_FILE_NAME
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "dsp/control_table.h"
#include "dsp/mydsp.h"
#include "lv2/ports.h"

namespace {

using namespace plumbra;
using namespace plumbra::lv2;

const std::string kUri = PLUMBRA_LV2_URI;
constexpr const char* kTtlName = "Halvex_Plumbra-Vektis.ttl";

// A float as a Turtle decimal that reads back as the same float.
std::string number(float v)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

std::string quoted(const std::string& text)
{
    std::string s = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') s += '\\';
        s += c;
    }
    return s + '"';
}

const char* unitOf(ControlUnit unit)
{
    switch (unit) {
    case ControlUnit::kDecibel: return "units:db";
    case ControlUnit::kHertz: return "units:hz";
    case ControlUnit::kFactor: return "units:coef";
    case ControlUnit::kNone: break;
    }
    return nullptr;
}

const char* unitOf(MeterUnit unit)
{
    switch (unit) {
    case MeterUnit::kDecibel:
    case MeterUnit::kDecibelFullScale: return "units:db";
    case MeterUnit::kHertz: return "units:hz";
    case MeterUnit::kRatio: break;
    }
    return nullptr;
}

// A valid LV2 port symbol: a letter or underscore, then letters, digits and underscores.
bool validSymbol(const std::string& s)
{
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    for (unsigned char c : s)
        if (!std::isalnum(c) && c != '_') return false;
    return true;
}

void audioPort(std::ostream& o, uint32_t index, bool input, const char* side)
{
    const std::string group = input ? "in" : "out";
    o << "        a lv2:" << (input ? "Input" : "Output") << "Port , lv2:AudioPort ;\n"
      << "        lv2:index " << index << " ;\n"
      << "        lv2:symbol \"" << group << '_' << side << "\" ;\n"
      << "        lv2:name \"" << (input ? "In " : "Out ") << (side[0] == 'l' ? "Left" : "Right") << "\" ;\n"
      << "        pg:group <" << kUri << '#' << group << "> ;\n"
      << "        lv2:designation pg:" << side << "\n";
}

bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    f.close();
    if (!f) std::fprintf(stderr, "generate_ttl: cannot write %s\n", path.c_str());
    return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: generate_ttl BUNDLE_DIR BINARY_FILE_NAME\n");
        return 2;
    }
    const std::string dir = argv[1];
    auto processor = std::make_unique<mydsp>();
    MetaMap meta;
    processor->declareMetadata(&meta);

    const char* prefixes =
        "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
        "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
        "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix pg:    <http://lv2plug.in/ns/ext/port-groups#> .\n"
        "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
        "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n\n";

    std::ostringstream manifest;
    manifest << prefixes << '<' << kUri << ">\n    a lv2:Plugin ;\n    lv2:binary <" << argv[2]
             << "> ;\n    rdfs:seeAlso <" << kTtlName << "> .\n";

    std::ostringstream o;
    o << prefixes;
    o << '<' << kUri << "#in>\n    a pg:InputGroup , pg:StereoGroup ;\n    lv2:symbol \"in\" ;\n"
      << "    rdfs:label \"Input\" .\n\n";
    o << '<' << kUri << "#out>\n    a pg:OutputGroup , pg:StereoGroup ;\n    lv2:symbol \"out\" ;\n"
      << "    rdfs:label \"Output\" ;\n    pg:source <" << kUri << "#in> .\n\n";
    o << '<' << kUri << ">\n    a lv2:Plugin , lv2:DynamicsPlugin , doap:Project ;\n"
      << "    doap:name " << quoted(meta.find("name")) << " ;\n"
      << "    doap:maintainer [ foaf:name " << quoted(meta.find("author")) << " ] ;\n"
      << "    lv2:minorVersion " << PLUMBRA_VERSION_MINOR << " ;\n    lv2:microVersion " << PLUMBRA_VERSION_PATCH << " ;\n"
      << "    rdfs:comment \"Twelve-band loudness and dynamics processor for programme audio. "
         "Reads the first input (mono programme), writes a pseudo-stereo pair peaking at -1 dBFS, "
      << kLatencySamples << " samples late, and its meters to output control ports.\" ;\n"
      << "    lv2:optionalFeature lv2:hardRTCapable ;\n"
      << "    pg:mainInput <" << kUri << "#in> ;\n    pg:mainOutput <" << kUri << "#out> ;\n"
      << "    lv2:port [\n";
    audioPort(o, kPortInLeft, true, "left");
    o << "    ] , [\n";
    audioPort(o, kPortInRight, true, "right");
    o << "    ] , [\n";
    audioPort(o, kPortOutLeft, false, "left");
    o << "    ] , [\n";
    audioPort(o, kPortOutRight, false, "right");

    std::set<std::string> symbols = {"in_left", "in_right", "out_left", "out_right", "latency"};
    for (int i = 0; i < kNumControls; ++i) {
        const ControlSpec& c = kControlSpecs[i];
        const std::string symbol = c.symbol;
        if (!validSymbol(symbol) || !symbols.insert(symbol).second) {
            std::fprintf(stderr, "generate_ttl: control \"%s\" gives no unique port symbol\n", c.label);
            return 1;
        }
        o << "    ] , [\n"
          << "        a lv2:InputPort , lv2:ControlPort ;\n"
          << "        lv2:index " << kPortFirstControl + static_cast<uint32_t>(i) << " ;\n"
          << "        lv2:symbol \"" << symbol << "\" ;\n"
          << "        lv2:name " << quoted(c.label) << " ;\n"
          << "        lv2:default " << number(c.init) << " ;\n"
          << "        lv2:minimum " << number(c.min) << " ;\n"
          << "        lv2:maximum " << number(c.max);
        if (c.toggle) o << " ;\n        lv2:portProperty lv2:toggled";
        if (const char* unit = unitOf(c.unit)) o << " ;\n        units:unit " << unit;
        o << '\n';
    }
    o << "    ] , [\n"
      << "        a lv2:OutputPort , lv2:ControlPort ;\n"
      << "        lv2:index " << kPortLatency << " ;\n"
      << "        lv2:symbol \"latency\" ;\n"
      << "        lv2:name \"Latency\" ;\n"
      << "        lv2:designation lv2:latency ;\n"
      << "        lv2:minimum 0 ;\n        lv2:maximum " << kLatencySamples << " ;\n"
      << "        lv2:portProperty lv2:reportsLatency , lv2:integer ;\n"
      << "        units:unit units:frame\n";
    // The meters, read-only: each port's range is the range displays scale to.
    for (int i = 0; i < kNumMeters; ++i) {
        const MeterDefinition& m = kMeterDefinitions[static_cast<std::size_t>(i)];
        const std::string symbol(m.symbolText());
        if (!validSymbol(symbol) || !symbols.insert(symbol).second) {
            std::fprintf(stderr, "generate_ttl: meter \"%s\" has no unique port symbol\n", symbol.c_str());
            return 1;
        }
        o << "    ] , [\n"
          << "        a lv2:OutputPort , lv2:ControlPort ;\n"
          << "        lv2:index " << kPortFirstMeter + static_cast<uint32_t>(i) << " ;\n"
          << "        lv2:symbol \"" << symbol << "\" ;\n"
          << "        lv2:name " << quoted(std::string(m.nameText())) << " ;\n"
          << "        lv2:default " << number(m.minimum) << " ;\n"
          << "        lv2:minimum " << number(m.minimum) << " ;\n"
          << "        lv2:maximum " << number(m.maximum);
        if (const char* unit = unitOf(m.unit)) o << " ;\n        units:unit " << unit;
        o << '\n';
    }
    o << "    ] .\n";

    return writeFile(dir + "/manifest.ttl", manifest.str()) && writeFile(dir + '/' + kTtlName, o.str()) ? 0 : 1;
}
