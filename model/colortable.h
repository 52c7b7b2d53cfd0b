#pragma once

#include <string>
#include <unordered_map>

// LDraw colour codes with a meaning of their own.
namespace LDrawColor
{
constexpr int Main = 16;  // the colour of the reference through which a face is reached
constexpr int Edge = 24;  // the complement of the main colour
}  // namespace LDrawColor

// The surface of a defined colour beyond its RGBA.
enum class ColourFinish
{
    Plain,
    Chrome,
    Pearlescent,
    Rubber,
    MatteMetallic,
    Metal,
    Material,  // the words after MATERIAL are kept in `ColourDefinition::material`
};

// The word that names a finish in a colour file ("" for Plain).
const char* FinishWord(ColourFinish finish);

// One colour as a colour file defines it.
struct ColourDefinition
{
    std::string name;
    int code = 0;
    int red = 0;  // 0 to 255 each
    int green = 0;
    int blue = 0;
    int alpha = 255;
    int edge = 0;  // a colour code, or a direct colour 0x2RRGGBB
    int luminance = 0;
    ColourFinish finish = ColourFinish::Plain;
    std::string material;  // the rest of a MATERIAL line, as written
};

// What a writer needs to know of one code, from whichever table answers it.
struct ColourDescription
{
    std::string name;
    double red = 1.0;  // 0 to 1 each
    double green = 0.0;
    double blue = 1.0;
    double alpha = 1.0;
    int edge = 16;
    ColourFinish finish = ColourFinish::Plain;
    std::string material;
    int luminance = 0;
    bool isDefined = false;  // from a definition rather than the built-in rules
};

// How LDraw colour codes become colours. Without definitions it is the
// built-in table: sixteen base colours, their transparent forms 32 to 47,
// code 57, dithered mixtures 256 to 511 and direct colours. A defined code
// takes its definition instead; every other code keeps the built-in rules.
// Codes 16 and 24 (inherited main and edge colour) are never defined.
class ColorTable
{
public:
    // Red, green, blue and alpha of a code, each 0 to 1. False, with magenta
    // and alpha untouched, for the inherited codes 16 and 24.
    bool LEGOColorRGBA(int code, double& red, double& green, double& blue, double& alpha) const;
    // The light or dark partner of a colour code: a defined code's edge.
    int ComplementaryColor(int code) const;

    // Adds or replaces the definition of `definition.code`. Definitions of
    // 16 and 24 are refused (false).
    bool Define(const ColourDefinition& definition);
    // Sets a code's RGBA (0 to 255 each), edge and finish, keeping its name.
    bool Define(int code, int red, int green, int blue, int alpha, int edge,
                ColourFinish finish = ColourFinish::Plain);
    // The definition of a code, or null for a code the built-in rules answer.
    const ColourDefinition* Find(int code) const;
    std::size_t DefinedCount() const { return definitions.size(); }
    // Name, values, edge, finish and luminance of any code.
    ColourDescription Describe(int code) const;

private:
    std::unordered_map<int, ColourDefinition> definitions;
};
