#include "model/colortable.h"

#include <cstdio>

namespace
{

// The sixteen LDraw base colours, red, green and blue on a scale where 256
// (not 255) is full intensity.
const int kBaseColors[16][3] = {
    {0, 0, 0},        // 0 black
    {0, 51, 178},     // 1 blue
    {0, 128, 64},     // 2 green
    {0, 128, 128},    // 3 teal
    {204, 0, 0},      // 4 red
    {256, 0, 128},    // 5 dark pink
    {102, 51, 0},     // 6 brown
    {128, 128, 128},  // 7 grey
    {64, 64, 64},     // 8 dark grey
    {0, 128, 256},    // 9 light blue
    {128, 256, 0},    // 10 bright green
    {0, 256, 256},    // 11 turquoise
    {256, 106, 106},  // 12 salmon
    {256, 128, 192},  // 13 pink
    {256, 256, 0},    // 14 yellow
    {256, 256, 256},  // 15 white
};

// Codes 32 to 47 are the transparent forms of the base colours 0 to 15.
constexpr int kFirstTransparent = 32;
constexpr int kLastTransparent = 47;
// One more transparent colour with a fixed value of its own.
constexpr int kTransparentOrange = 57;
// Codes 256 to 511 dither two base colours: 256 + 16 * first + second.
constexpr int kFirstDithered = 256;
constexpr int kPastDithered = 512;
// LDraw's direct colours: 0x2RRGGBB opaque, 0x3RRGGBB half transparent, each
// channel on a scale where 255 is full intensity.
constexpr int kFirstDirect = 0x2000000;
constexpr int kFirstHalfDirect = 0x3000000;
constexpr int kPastDirect = 0x4000000;

const char* const kBaseNames[16] = {
    "Black",  "Blue", "Green",     "Teal",       "Red",          "Dark_Pink",
    "Brown",  "Grey", "Dark_Grey", "Light_Blue", "Bright_Green", "Turquoise",
    "Salmon", "Pink", "Yellow",    "White",
};

bool IsInherited(int code)
{
    return code == LDrawColor::Main || code == LDrawColor::Edge;
}

bool BuiltInRgba(int code, double& red, double& green, double& blue, double& alpha)
{
    if (IsInherited(code))
    {
        red = 1.0;
        green = 0.0;
        blue = 1.0;
        return false;
    }

    if (code == kTransparentOrange)
    {
        red = 1.0;
        green = 0.3984375;
        blue = 0.0;
        alpha = 0.5;
        return true;
    }
    if (code >= kFirstDirect && code < kPastDirect)
    {
        red = static_cast<double>((code >> 16) & 0xFF) / 255.0;
        green = static_cast<double>((code >> 8) & 0xFF) / 255.0;
        blue = static_cast<double>(code & 0xFF) / 255.0;
        alpha = code < kFirstHalfDirect ? 1.0 : 0.5;
        return true;
    }
    if (code >= kFirstTransparent && code <= kLastTransparent)
    {
        code -= kFirstTransparent;
        alpha = 0.5;
    }
    else
    {
        alpha = 1.0;
    }
    if (code >= kFirstDithered && code < kPastDithered)
    {
        const int mixture = code - kFirstDithered;
        const int* first = kBaseColors[mixture / 16];
        const int* second = kBaseColors[mixture & 15];
        red = static_cast<double>(first[0] + second[0]) * 0.001953125;
        green = static_cast<double>(first[1] + second[1]) * 0.001953125;
        blue = static_cast<double>(first[2] + second[2]) * 0.001953125;
        return true;
    }
    // Every other code, 512 and above (direct colours aside) and negative
    // codes included, takes the base colour of its low four bits.
    const int* base = kBaseColors[code & 15];
    red = static_cast<double>(base[0]) * 0.00390625;
    green = static_cast<double>(base[1]) * 0.00390625;
    blue = static_cast<double>(base[2]) * 0.00390625;
    return true;
}

int BuiltInComplement(int code)
{
    if (IsInherited(code))
        return LDrawColor::Main;
    // The base colours pair up as 0 and 8, 1 and 9, ... 7 and 15.
    if (code < 16)
        return static_cast<int>((static_cast<unsigned>(code) - 8u) & 15u);
    if (code < 48)
        return static_cast<int>((static_cast<unsigned>(code) - 8u) & 15u) + kFirstTransparent;
    if (code >= kPastDithered)
        return 1;
    // Both halves of a mixture are replaced by their partners; codes 48 to 255
    // take the same formula with a negative quotient.
    const int high = BuiltInComplement((code - kFirstDithered) / 16);
    const int low =
        BuiltInComplement(static_cast<int>(static_cast<unsigned>(code - kFirstDithered) & 15u));
    return kFirstDithered + 16 * high + low;
}

std::string BuiltInName(int code)
{
    if (code == LDrawColor::Main)
        return "Main_Colour";
    if (code == LDrawColor::Edge)
        return "Edge_Colour";
    if (code >= 0 && code < 16)
        return kBaseNames[code];
    if (code >= kFirstTransparent && code <= kLastTransparent)
        return std::string("Trans_") + kBaseNames[code - kFirstTransparent];
    if (code == kTransparentOrange)
        return "Trans_Orange";
    char text[32];
    if (code >= kFirstDithered && code < kPastDithered)
        std::snprintf(text, sizeof text, "Dither_%d_%d", (code - kFirstDithered) / 16,
                      (code - kFirstDithered) % 16);
    else if (code >= kFirstDirect && code < kPastDirect)
        std::snprintf(text, sizeof text, "Direct_%X", static_cast<unsigned>(code));
    else
        std::snprintf(text, sizeof text, "Colour_%d", code);
    return text;
}

}  // namespace

const char* FinishWord(ColourFinish finish)
{
    switch (finish)
    {
        case ColourFinish::Chrome:
            return "CHROME";
        case ColourFinish::Pearlescent:
            return "PEARLESCENT";
        case ColourFinish::Rubber:
            return "RUBBER";
        case ColourFinish::MatteMetallic:
            return "MATTE_METALLIC";
        case ColourFinish::Metal:
            return "METAL";
        case ColourFinish::Material:
            return "MATERIAL";
        case ColourFinish::Plain:
            break;
    }
    return "";
}

bool ColorTable::LEGOColorRGBA(int code, double& red, double& green, double& blue,
                               double& alpha) const
{
    const ColourDefinition* definition = Find(code);
    if (definition == nullptr)
        return BuiltInRgba(code, red, green, blue, alpha);
    red = static_cast<double>(definition->red) / 255.0;
    green = static_cast<double>(definition->green) / 255.0;
    blue = static_cast<double>(definition->blue) / 255.0;
    alpha = static_cast<double>(definition->alpha) / 255.0;
    return true;
}

int ColorTable::ComplementaryColor(int code) const
{
    const ColourDefinition* definition = Find(code);
    return definition != nullptr ? definition->edge : BuiltInComplement(code);
}

bool ColorTable::Define(const ColourDefinition& definition)
{
    if (IsInherited(definition.code))
        return false;
    definitions[definition.code] = definition;
    return true;
}

bool ColorTable::Define(int code, int red, int green, int blue, int alpha, int edge,
                        ColourFinish finish)
{
    ColourDefinition definition;
    if (const ColourDefinition* old = Find(code))
        definition = *old;
    definition.code = code;
    definition.red = red;
    definition.green = green;
    definition.blue = blue;
    definition.alpha = alpha;
    definition.edge = edge;
    definition.finish = finish;
    if (finish != ColourFinish::Material)
        definition.material.clear();
    return Define(definition);
}

const ColourDefinition* ColorTable::Find(int code) const
{
    if (definitions.empty())
        return nullptr;
    const auto found = definitions.find(code);
    return found != definitions.end() ? &found->second : nullptr;
}

ColourDescription ColorTable::Describe(int code) const
{
    ColourDescription description;
    const ColourDefinition* definition = Find(code);
    description.isDefined = definition != nullptr;
    description.name =
        definition != nullptr && !definition->name.empty() ? definition->name : BuiltInName(code);
    LEGOColorRGBA(code, description.red, description.green, description.blue, description.alpha);
    description.edge = ComplementaryColor(code);
    if (definition != nullptr)
    {
        description.finish = definition->finish;
        description.material = definition->material;
        description.luminance = definition->luminance;
    }
    return description;
}
