#include "app/previewoutput.h"

#include <filesystem>
#include <iostream>
#include <system_error>

#include "app/glboutput.h"
#include "clean/instancing.h"
#include "model/stagetimer.h"
#include "output/preview.h"

namespace
{

bool IsSameFile(const std::string& a, const std::string& b)
{
    std::error_code error;
    return a == b || (std::filesystem::equivalent(a, b, error) && !error);
}

}  // namespace

bool WritePreviewOutput(const ConversionRequest& request, const LegoPart& asRead,
                        std::optional<InstancedScene>& scene)
{
    const std::string& path = request.previewPath;
    if (IsSameFile(path, request.modelPath) || IsSameFile(path, request.outputPath))
    {
        std::cerr << "Error: preview file " << path << " is the "
                  << (IsSameFile(path, request.modelPath) ? "model" : "output")
                  << " file, not written\n";
        return false;
    }
    if (CountScenePlacements(asRead) > kMaxGlbNodes)
    {
        std::cerr << "Error: " << request.modelPath << " places more than " << kMaxGlbNodes
                  << " parts and sub-models; no preview\n";
        return false;
    }
    std::cout << "Writing file " << path << '\n' << std::flush;
    const ColorTable& colours = asRead.Colours();
    if (!scene)
        scene.emplace(BuildInstancedScene(asRead, colours));
    const PreviewPalette palette = [&colours](int code)
    {
        // A part left in the inherited colour at the top is drawn light grey.
        double red = 0.75, green = 0.75, blue = 0.75, alpha = 1.0;
        if (!colours.LEGOColorRGBA(code, red, green, blue, alpha))
            red = green = blue = 0.75;
        return PreviewColour{static_cast<float>(red), static_cast<float>(green),
                             static_cast<float>(blue), static_cast<float>(alpha)};
    };
    PreviewSettings settings;
    settings.width = request.previewWidth;
    settings.height = request.previewHeight;
    settings.transparentBackground = request.previewTransparent;
    const bool isWritten = WritePreview(path, *scene, palette, settings);
    StageTimer::Mark("preview");
    return isWritten;
}
