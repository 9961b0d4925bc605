#include "lib/names.h"

namespace grainel {
namespace {

struct Alias {
    std::string_view name;
    std::size_t method;  // index into the canonical method list
};

constexpr Alias aliases[] = {
    {"fs", 0},          {"floydsteinberg", 0},
    {"ffs", 1},         {"falsefloydsteinberg", 1},
    {"jjn", 2},         {"jarvis", 2},           {"jarvisjudiceninke", 2},
    {"stucki", 3},      {"atkinson", 4},         {"burkes", 5},
    {"sierra", 6},      {"sierra3", 6},
    {"sierra2", 7},     {"sierratworow", 7},     {"tworowsierra", 7},
    {"sierralite", 8},  {"sierra24a", 8},
};

}  // namespace

std::string normalize(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch == ' ' || ch == '-' || ch == '_') continue;
        out += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    }
    return out;
}

const DiffusionMethod* parse_method(std::string_view text) {
    const std::string name = normalize(text);
    for (const Alias& alias : aliases)
        if (alias.name == name) return &diffusion_methods()[alias.method];
    return nullptr;
}

std::array<std::string_view, 9> method_names() {
    std::array<std::string_view, 9> names;
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = diffusion_methods()[i].name;
    return names;
}

}  // namespace grainel
