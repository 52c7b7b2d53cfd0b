#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "output/preview.h"

// The drawing of one band of the preview picture: triangles in sample
// coordinates into a z-buffer and a colour buffer of 2x2 samples per pixel,
// then the samples averaged into pixels.
namespace preview_raster
{

// Brightness where a surface faces away from the light, and the part of it
// that the light adds where it faces the light squarely.
constexpr double kAmbient = 0.45;
constexpr double kDiffuse = 0.55;
// White that the light adds on top of any paint, at most: without it a
// black part would be one flat silhouette, its faces told apart by nothing.
constexpr float kSheen = 0.16f;

// Fixed-point steps per sample: vertex positions are whole multiples of
// 1/kSubSamples sample, so that coverage is decided exactly.
constexpr int kSubSamples = 256;
// Sample rows per band: 16 rows of pixels.
constexpr unsigned kBandRows = 32;

struct Vertex
{
    // In sample coordinates times kSubSamples (whole numbers; x NaN for a
    // vertex that is not drawn); z grows away from the viewer.
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float front = 0.0f;   // brightness of the side the normal points to
    float back = 0.0f;    // brightness of the other side
    float facing = 0.0f;  // above 0 when the normal points towards the viewer
};

// One primitive of one placement.
struct Batch
{
    const Vertex* vertices = nullptr;
    std::size_t vertexCount = 0;
    const std::vector<std::uint32_t>* indices = nullptr;
    PreviewColour colour;
    double top = 0.0;  // its rows, in sample coordinates times kSubSamples
    double bottom = 0.0;
};

class Band
{
public:
    // Clears the band to the background: `rows` rows of pixels from `row`.
    void Reset(unsigned width, unsigned row, unsigned rows, bool transparentBackground);
    // Draws batches [0, opaqueCount) into the z-buffer, then blends the others
    // in their order over them.
    void Draw(const std::vector<Batch>& batches, std::size_t opaqueCount);
    // Averages the samples into rows of RGBA pixels at `out`.
    void Resolve(std::uint8_t* out, bool transparentBackground) const;
    // Whether narrow opaque triangles are drawn a row of lanes at a time
    // (the default). Without, every triangle takes the general path, whose
    // samples and values the lanes must match.
    void UseLanes(bool use) { isUsingLanes = use; }

private:
    template <bool kBlend>
    void DrawBatch(const Batch& batch, std::uint32_t paint);
    template <bool kBlend>
    void DrawTriangle(const Vertex* a, const Vertex* b, const Vertex* c,
                      const PreviewColour& colour, std::uint32_t paint);
    // An edge function at a triangle's first sample, and its steps per
    // sample across and per row down.
    struct EdgeSteps
    {
        std::int64_t w, x, y;
    };
    // The samples [iFirst, iLast] x [jFirst, jLast] that may lie inside.
    struct SampleBox
    {
        std::int64_t iFirst, iLast, jFirst, jLast;
    };
    // A quantity at the first sample and its steps across and down.
    struct Plane
    {
        float start, across, down;
    };
    // Draws an opaque triangle at most kMostLanes (32) samples wide whose edge
    // functions fit in 32 bits: the same samples and values as the general
    // path, a row at a time.
    void DrawLanes(const std::array<EdgeSteps, 3>& edges, const SampleBox& box,
                   const Plane& depthPlane, const Plane& lightPlane, std::uint32_t paintIndex);
    // Draws the opaque samples [first, last] of the row from `start`, with
    // depth and shade from the planes' start and steps across.
    void DrawSpan(std::size_t start, std::int64_t first, std::int64_t last, const Plane& depthRow,
                  const Plane& lightRow, std::uint32_t paintIndex);
    // Turns the opaque samples' brightness and batch into colours.
    void ShadeOpaque(const std::vector<Batch>& batches);

    unsigned samplesWide = 0;
    unsigned firstSampleRow = 0;
    unsigned sampleRows = 0;
    bool isTransparent = false;
    bool isUsingLanes = true;
    std::vector<float> depth;
    // The nearest opaque surface of each sample: its brightness and batch
    // (kNoPaint for none), shaded once all are drawn.
    std::vector<float> light;
    std::vector<std::uint32_t> paints;
    std::vector<float> colour;  // premultiplied red, green, blue, alpha
};

}  // namespace preview_raster
