// Writing the report model.
#include "host/common/json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "host/common/text.h"

namespace plumbra::host {

namespace {

int decimalsOf(const std::string& key)
{
    return key.size() > 2 && key.compare(key.size() - 2, 2, "_s") == 0 ? 3 : 2;
}

// Bytes pass through as they are (file names need not be UTF-8); only what JSON
// forbids is escaped.
std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        const char* named = c == '"'    ? "\\\""
                            : c == '\\' ? "\\\\"
                            : c == '\n' ? "\\n"
                            : c == '\r' ? "\\r"
                            : c == '\t' ? "\\t"
                                        : nullptr;
        out += named ? std::string(named) : c < 0x20 ? printed("\\u%04x", c) : std::string(1, static_cast<char>(c));
    }
    return out + "\"";
}

void writeValue(std::string& out, const Json& v, const std::string& key, const std::string& indent,
                const JsonLayout& layout)
{
    if (!v.is_structured()) {  // null, true and false as nlohmann writes them
        out += v.is_string()   ? quoted(v.get_ref<const std::string&>())
               : v.is_number() ? numberText(key, v, "null")
                               : v.dump();
        return;
    }
    const bool object = v.is_object();
    if (v.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    const bool inline_ = object && layout.flatObjectsInline &&
                         std::none_of(v.begin(), v.end(), [](const Json& m) { return m.is_structured(); });
    const std::string inner = indent + "  ";
    out += object ? '{' : '[';
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        out += first ? "" : ",";
        out += inline_ ? (first ? "" : " ") : "\n" + inner;
        first = false;
        if (object) out += quoted(it.key()) + ": ";
        writeValue(out, *it, object ? it.key() : key, inner, layout);
    }
    if (!inline_) out += "\n" + indent;
    out += object ? '}' : ']';
}

}  // namespace

std::string fixedOrDash(double value, int decimals)
{
    return std::isfinite(value) ? printed("%.*f", decimals, value) : "-inf";
}

double numberOf(const Json& number)
{
    if (const double* v = number.get_ptr<const double*>()) return *v;
    if (const uint64_t* u = number.get_ptr<const uint64_t*>()) return std::strtod(std::to_string(*u).c_str(), nullptr);
    if (const int64_t* i = number.get_ptr<const int64_t*>()) return std::strtod(std::to_string(*i).c_str(), nullptr);
    return std::numeric_limits<double>::quiet_NaN();
}

std::string numberText(const std::string& key, const Json& number, const char* nonFinite)
{
    if (number.is_number_unsigned()) return std::to_string(number.get<uint64_t>());
    if (number.is_number_integer()) return std::to_string(number.get<int64_t>());
    const double v = numberOf(number);
    return std::isfinite(v) ? fixedOrDash(v, decimalsOf(key)) : nonFinite;
}

std::string writeJson(const Json& document, const JsonLayout& layout)
{
    std::string out;
    writeValue(out, document, "", "", layout);
    return out + "\n";
}

}  // namespace plumbra::host
