#include "app/options.h"

#include <charconv>
#include <cstdint>
#include <string_view>

namespace
{

// Applies an option's value to the request; returns what is wrong with the
// value, or an empty string.
using Apply = std::string (*)(std::string_view value, ConversionRequest& request,
                              ParsedOptions& parsed);

struct Option
{
    const char* name;      // without the leading "--"
    const char* argument;  // the value's placeholder; null for a flag
    const char* help;
    Apply apply;
};

bool ParseWhole(std::string_view text, std::uint64_t& value)
{
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

std::string ApplyColours(std::string_view value, ConversionRequest& request, ParsedOptions&)
{
    if (value.empty())
        return "--colours needs builtin, ldconfig or the path of a colour file";
    request.colourSource = std::string(value);
    return std::string();
}

std::string ApplyPreviewSize(std::string_view value, ConversionRequest& request, ParsedOptions&)
{
    const std::size_t x = value.find('x');
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    if (x == std::string_view::npos || !ParseWhole(value.substr(0, x), width) ||
        !ParseWhole(value.substr(x + 1), height) || width < 1 || height < 1 || width > 16384 ||
        height > 16384)
        return "--preview-size needs WIDTHxHEIGHT, each from 1 to 16384, not '" +
               std::string(value) + "'";
    request.previewWidth = static_cast<unsigned>(width);
    request.previewHeight = static_cast<unsigned>(height);
    return std::string();
}

// The one table of options; --help is generated from it.
const Option kOptions[] = {
    {"help", nullptr, "print this text and exit",
     [](std::string_view, ConversionRequest&, ParsedOptions& parsed)
     {
         parsed.showHelp = true;
         return std::string();
     }},
    {"version", nullptr, "print the version and exit",
     [](std::string_view, ConversionRequest&, ParsedOptions& parsed)
     {
         parsed.showVersion = true;
         return std::string();
     }},
    {"format", "triset|glb",
     "output format (default: triset, or glb for an output name ending .glb)",
     [](std::string_view value, ConversionRequest& request, ParsedOptions& parsed)
     {
         if (value == "triset")
             request.format = OutputFormat::Triset;
         else if (value == "glb")
             request.format = OutputFormat::Glb;
         else
             return "--format needs triset or glb, not '" + std::string(value) + "'";
         parsed.formatGiven = true;
         return std::string();
     }},
    {"colours", "SOURCE",
     "colour table: builtin (default for scene files), ldconfig (LDConfig.ldr in the library) or a "
     "colour file",
     [](std::string_view value, ConversionRequest& request, ParsedOptions& parsed)
     { return ApplyColours(value, request, parsed); }},
    {"colors", "SOURCE", "the same as --colours",
     [](std::string_view value, ConversionRequest& request, ParsedOptions& parsed)
     { return ApplyColours(value, request, parsed); }},
    {"skip-missing", nullptr,
     "report a file found nowhere, leave its reference out and go on reading",
     [](std::string_view, ConversionRequest& request, ParsedOptions&)
     {
         request.skipMissing = true;
         return std::string();
     }},
    {"no-cache", nullptr,
     "list the library's folders afresh, and keep no list of them in the cache folder",
     [](std::string_view, ConversionRequest& request, ParsedOptions&)
     {
         request.keepListings = false;
         return std::string();
     }},
    {"max-triangles", "N", "refuse a model that would hold more than N triangles at once",
     [](std::string_view value, ConversionRequest& request, ParsedOptions&)
     {
         std::uint64_t limit = 0;
         if (!ParseWhole(value, limit) || limit < 1)
             return "--max-triangles needs a whole number of at least 1, not '" +
                    std::string(value) + "'";
         request.maxTriangles = limit;
         return std::string();
     }},
    {"jobs", "N", "worker threads (default: one per core)",
     [](std::string_view value, ConversionRequest& request, ParsedOptions&)
     {
         std::uint64_t jobs = 0;
         if (!ParseWhole(value, jobs) || jobs < 1 || jobs > 1024)
             return "--jobs needs a whole number from 1 to 1024, not '" + std::string(value) + "'";
         request.jobs = static_cast<unsigned>(jobs);
         return std::string();
     }},
    {"preview", "FILE.png", "also write a PNG picture of the model",
     [](std::string_view value, ConversionRequest& request, ParsedOptions&)
     {
         if (value.empty())
             return std::string("--preview needs the name of a PNG file");
         request.previewPath = std::string(value);
         return std::string();
     }},
    {"preview-size", "WxH", "size of the picture in pixels (default: 1024x768)",
     [](std::string_view value, ConversionRequest& request, ParsedOptions& parsed)
     { return ApplyPreviewSize(value, request, parsed); }},
    {"preview-background", "white|none", "the picture's background (default: white)",
     [](std::string_view value, ConversionRequest& request, ParsedOptions&)
     {
         if (value == "white")
             request.previewTransparent = false;
         else if (value == "none")
             request.previewTransparent = true;
         else
             return "--preview-background needs white or none, not '" + std::string(value) + "'";
         return std::string();
     }},
};

const Option* FindOption(std::string_view name)
{
    for (const Option& option : kOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

}  // namespace

ParsedOptions ParseOptions(int argc, const char* const* argv, ConversionRequest& request)
{
    ParsedOptions parsed;
    bool onlyPositional = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string_view argument(argv[i]);
        if (onlyPositional || argument.size() < 2 || argument.substr(0, 2) != "--")
        {
            parsed.positional.emplace_back(argument);
            continue;
        }
        if (argument.size() == 2)
        {
            onlyPositional = true;
            continue;
        }
        if (!parsed.error.empty())
            continue;
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(
            2, equals == std::string_view::npos ? std::string_view::npos : equals - 2);
        const Option* option = FindOption(name);
        if (option == nullptr)
        {
            parsed.error = "unknown option " + std::string(argument);
            continue;
        }
        const bool hasValue = equals != std::string_view::npos;
        if (option->argument == nullptr && hasValue)
        {
            parsed.error = "--" + std::string(name) + " takes no value";
            continue;
        }
        if (option->argument != nullptr && !hasValue)
        {
            parsed.error = "--" + std::string(name) + " needs a value: --" + std::string(name) +
                           "=" + option->argument;
            continue;
        }
        parsed.error = option->apply(hasValue ? argument.substr(equals + 1) : std::string_view(),
                                     request, parsed);
    }
    return parsed;
}

void PrintOptionHelp(std::ostream& out)
{
    out << "Options:\n";
    for (const Option& option : kOptions)
    {
        std::string spelled = std::string("  --") + option.name;
        if (option.argument != nullptr)
            spelled += std::string("=") + option.argument;
        out << spelled;
        out << (spelled.size() < 30 ? std::string(30 - spelled.size(), ' ') : std::string("  "));
        out << option.help << '\n';
    }
}
