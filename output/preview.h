#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/instancedscene.h"

// A picture of a scene, drawn by a small software rasteriser: every placed
// part once per placement, a z-buffer, shading from the smoothed normals with
// one directional light and ambient light, transparent colours blended over
// the opaque ones part by part from back to front, both sides of every
// triangle, 2x2 samples per pixel. The view is the usual LDraw one, looking
// down 30 degrees from 45 degrees to the front left, orthographic, with the
// model's outline as seen fitted into the picture with a margin.
//
// The picture is the same byte for byte for every number of jobs: the image
// is drawn in bands of rows, each on its own, from triangles taken in the
// same order.

struct PreviewColour
{
    float red = 0.0f;  // each 0 to 1
    float green = 0.0f;
    float blue = 0.0f;
    float alpha = 1.0f;  // 1 opaque, below 1 transparent, 0 not drawn
};

// The colour of a resolved colour code. Called once for each code the
// scene uses, from the calling thread.
using PreviewPalette = std::function<PreviewColour(int code)>;

struct PreviewSettings
{
    unsigned width = 1024;
    unsigned height = 768;
    bool transparentBackground = false;  // false: white
};

// Receives the picture from top to bottom in blocks of whole rows: `rows`
// rows of width * 4 bytes, red, green, blue and alpha (not premultiplied).
using PreviewRows = std::function<void(const std::uint8_t* pixels, unsigned rows)>;

// Draws the scene and hands the picture to `rows`. Memory stays bounded for
// the largest pictures: only a block of rows is held at a time. Meshes with
// indices beyond their vertices, or positions that are not finite, lose the
// triangles concerned, nothing else.
void RenderPreview(const InstancedScene& scene, const PreviewPalette& palette,
                   const PreviewSettings& settings, const PreviewRows& rows);

// The whole picture, width * height * 4 bytes.
std::vector<std::uint8_t> RenderPreviewImage(const InstancedScene& scene,
                                             const PreviewPalette& palette,
                                             const PreviewSettings& settings);

// Draws the scene into a PNG file at `path`, published only once complete
// (see PngFile). False, after "Error: " lines on standard error, when the
// file cannot be created or written; the target is then unchanged.
bool WritePreview(const std::string& path, const InstancedScene& scene,
                  const PreviewPalette& palette, const PreviewSettings& settings);
