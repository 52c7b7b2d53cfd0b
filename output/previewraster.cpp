#include "output/previewraster.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace preview_raster
{

namespace
{

constexpr std::uint32_t kNoPaint = std::numeric_limits<std::uint32_t>::max();
// Triangles fewer samples wide than this find each row's first and last
// sample inside by stepping; wider ones solve for them.
constexpr std::int64_t kNarrow = 12;

// Opaque triangles at most kMostLanes samples wide are drawn a row at a
// time in vectors of four lanes (the width every x86-64 processor has),
// without a branch per sample; the buffers end with kVectorLanes spare
// samples so that the last row's lanes stay inside them.
constexpr std::int64_t kMostLanes = 32;
constexpr unsigned kVectorLanes = 4;
using Lanes = std::int32_t __attribute__((vector_size(4 * kVectorLanes)));
using LaneReals = float __attribute__((vector_size(4 * kVectorLanes)));
// The same bits seen as the other kind of lane.
inline Lanes Bits(LaneReals reals)
{
    return reinterpret_cast<Lanes>(reals);
}
inline LaneReals Bits(Lanes lanes)
{
    return reinterpret_cast<LaneReals>(lanes);
}
// Where `mask` is set (all ones), a; elsewhere b.
inline Lanes Select(Lanes mask, Lanes a, Lanes b)
{
    return (mask & a) | (~mask & b);
}
// Shade as the general path clamps it: max(0, shade), then min(1, shade),
// NaN to 0.
inline LaneReals ClampShade(LaneReals shade)
{
    shade = Bits(Bits(shade) & (0.0f < shade));
    return Bits(Select(shade < 1.0f, Bits(shade), Bits(LaneReals{} + 1.0f)));
}
// Keeps depth z, shade and paint in the lanes `inside` where z is nearer
// than the depth held there; the other lanes keep what they hold.
inline void PutNearer(float* depth, float* light, std::uint32_t* paints, Lanes inside, LaneReals z,
                      LaneReals shade, Lanes paint)
{
    LaneReals oldDepth, oldLight;
    Lanes oldPaint;
    std::memcpy(&oldDepth, depth, sizeof oldDepth);
    std::memcpy(&oldLight, light, sizeof oldLight);
    std::memcpy(&oldPaint, paints, sizeof oldPaint);
    const Lanes nearer = inside & (z < oldDepth);
    const LaneReals newDepth = Bits(Select(nearer, Bits(z), Bits(oldDepth)));
    const LaneReals newLight = Bits(Select(nearer, Bits(shade), Bits(oldLight)));
    const Lanes newPaint = Select(nearer, paint, oldPaint);
    std::memcpy(depth, &newDepth, sizeof newDepth);
    std::memcpy(light, &newLight, sizeof newLight);
    std::memcpy(paints, &newPaint, sizeof newPaint);
}

// Edge functions within this bound are held exactly in 32 bits, with room
// for one row's step.
constexpr std::int64_t kLaneBound = std::int64_t(1) << 30;

// Whether edge function w + x * t + y * r, for lanes t and rows r up to
// `rows`, and its step to the next row, stay within kLaneBound.
bool FitsLanes(std::int64_t w, std::int64_t x, std::int64_t y, std::int64_t lanes,
               std::int64_t rows)
{
    const std::int64_t across = x * lanes, down = y * rows;
    for (const std::int64_t corner :
         {w, w + across, w + down, w + across + down, y, x * std::int64_t(kVectorLanes)})
        if (corner <= -kLaneBound || corner >= kLaneBound)
            return false;
    return true;
}

// Floor and ceiling of a / b for b > 0, for negative a too.
std::int64_t FloorDivide(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

std::int64_t CeilDivide(std::int64_t a, std::int64_t b)
{
    return -FloorDivide(-a, b);
}

// Twice the signed area of (a, b, p), in fixed point squared.
std::int64_t Edge(std::int64_t ax, std::int64_t ay, std::int64_t bx, std::int64_t by,
                  std::int64_t px, std::int64_t py)
{
    return (bx - ax) * (py - ay) - (by - ay) * (px - ax);
}

// A sample exactly on an edge belongs to one of the two triangles that share
// the edge: the one that sees the edge run this way. Nothing is drawn twice
// (which a transparent surface would show) and no gap opens.
bool OwnsEdge(std::int64_t ax, std::int64_t ay, std::int64_t bx, std::int64_t by)
{
    return by > ay || (by == ay && bx < ax);
}

// Narrows the samples [first, last] of a row, counted from its start, to
// those where an edge function w + step * t is not negative. The quotient
// is estimated in doubles and settled exactly in integers.
inline void Narrow(std::int64_t w, std::int64_t step, std::int64_t& first, std::int64_t& last)
{
    if (step == 0)
    {
        if (w < 0)
            first = last + 1;
        return;
    }
    const double bound = double(last) + 2.0;
    if (step > 0)
    {
        if (w >= 0)
            return;
        const double q = double(-w) / double(step);
        if (q > bound)
        {
            first = last + 1;
            return;
        }
        std::int64_t t = static_cast<std::int64_t>(q);  // q >= 0: the floor
        while (w + step * t < 0)
            ++t;
        while (t > 0 && w + step * (t - 1) >= 0)
            --t;
        first = std::max(first, t);
    }
    else
    {
        if (w < 0)
        {
            first = last + 1;
            return;
        }
        const double q = double(w) / double(-step);
        if (q > bound)
            return;
        std::int64_t t = static_cast<std::int64_t>(q);
        while (t >= 0 && w + step * t < 0)
            --t;
        while (w + step * (t + 1) >= 0)
            ++t;
        last = std::min(last, t);
    }
}

std::uint8_t ToByte(float value)
{
    value = std::min(1.0f, std::max(0.0f, value));
    // NOLINTNEXTLINE(bugprone-incorrect-roundings): value is within [0, 1]
    return static_cast<std::uint8_t>(value * 255.0f + 0.5f);
}

}  // namespace

void Band::Reset(unsigned width, unsigned row, unsigned rows, bool transparentBackground)
{
    samplesWide = 2 * width;
    firstSampleRow = 2 * row;
    sampleRows = 2 * rows;
    isTransparent = transparentBackground;
    const std::size_t samples = std::size_t(samplesWide) * sampleRows;
    depth.assign(samples + kVectorLanes, std::numeric_limits<float>::infinity());
    light.assign(samples + kVectorLanes, 0.0f);
    paints.assign(samples + kVectorLanes, kNoPaint);
}

void Band::Draw(const std::vector<Batch>& batches, std::size_t opaqueCount)
{
    for (std::size_t b = 0; b < opaqueCount; ++b)
        DrawBatch<false>(batches[b], static_cast<std::uint32_t>(b));
    ShadeOpaque(batches);
    for (std::size_t b = opaqueCount; b < batches.size(); ++b)
        DrawBatch<true>(batches[b], static_cast<std::uint32_t>(b));
}

void Band::ShadeOpaque(const std::vector<Batch>& batches)
{
    const float background = isTransparent ? 0.0f : 1.0f;
    const std::size_t samples = std::size_t(samplesWide) * sampleRows;
    colour.resize(4 * samples);
    for (std::size_t s = 0; s < samples; ++s)
    {
        float* out = &colour[4 * s];
        if (paints[s] == kNoPaint)
        {
            out[0] = out[1] = out[2] = out[3] = background;
            continue;
        }
        const PreviewColour& paint = batches[paints[s]].colour;
        const float sheen = kSheen * std::max(0.0f, (light[s] - float(kAmbient)) / float(kDiffuse));
        out[0] = paint.red * light[s] + sheen;
        out[1] = paint.green * light[s] + sheen;
        out[2] = paint.blue * light[s] + sheen;
        out[3] = 1.0f;
    }
}

template <bool kBlend>
void Band::DrawBatch(const Batch& batch, std::uint32_t paint)
{
    const double top = double(firstSampleRow) * kSubSamples;
    const double bottom = double(firstSampleRow + sampleRows) * kSubSamples;
    if (batch.bottom < top || batch.top > bottom)
        return;
    const std::vector<std::uint32_t>& indices = *batch.indices;
    const Vertex* vertices = batch.vertices;
    const float bandTop = static_cast<float>(top);
    const float bandBottom = static_cast<float>(bottom);
    for (std::size_t t = 0; t + 2 < indices.size(); t += 3)
    {
        const std::uint32_t i0 = indices[t], i1 = indices[t + 1], i2 = indices[t + 2];
        if (i0 >= batch.vertexCount || i1 >= batch.vertexCount || i2 >= batch.vertexCount)
            continue;
        const Vertex* a = vertices + i0;
        const Vertex* b = vertices + i1;
        const Vertex* c = vertices + i2;
        // Most triangles lie in other bands.
        if ((a->y < bandTop && b->y < bandTop && c->y < bandTop) ||
            (a->y > bandBottom && b->y > bandBottom && c->y > bandBottom))
            continue;
        DrawTriangle<kBlend>(a, b, c, batch.colour, paint);
    }
}

template <bool kBlend>
void Band::DrawTriangle(const Vertex* a, const Vertex* b, const Vertex* c,
                        const PreviewColour& paint, std::uint32_t paintIndex)
{
    if (std::isnan(a->x) || std::isnan(b->x) || std::isnan(c->x))
        return;
    const std::int64_t unit = kSubSamples;
    const std::int64_t half = kSubSamples / 2;
    const std::int64_t ax = static_cast<std::int64_t>(a->x), ay = static_cast<std::int64_t>(a->y);
    std::int64_t bx = static_cast<std::int64_t>(b->x), by = static_cast<std::int64_t>(b->y);
    std::int64_t cx = static_cast<std::int64_t>(c->x), cy = static_cast<std::int64_t>(c->y);

    // The samples whose centres may lie inside.
    std::int64_t iFirst = CeilDivide(std::min({ax, bx, cx}) - half, unit);
    std::int64_t iLast = FloorDivide(std::max({ax, bx, cx}) - half, unit);
    std::int64_t jFirst = CeilDivide(std::min({ay, by, cy}) - half, unit);
    std::int64_t jLast = FloorDivide(std::max({ay, by, cy}) - half, unit);
    iFirst = std::max<std::int64_t>(iFirst, 0);
    iLast = std::min<std::int64_t>(iLast, std::int64_t(samplesWide) - 1);
    jFirst = std::max<std::int64_t>(jFirst, firstSampleRow);
    jLast = std::min<std::int64_t>(jLast, std::int64_t(firstSampleRow) + sampleRows - 1);
    if (iFirst > iLast || jFirst > jLast)
        return;

    std::int64_t area = Edge(ax, ay, bx, by, cx, cy);
    if (area == 0)
        return;
    // The side turned to the viewer is lit, whichever way the corners run.
    const bool front = a->facing + b->facing + c->facing >= 0.0f;
    const double la = front ? a->front : a->back;
    double lb = front ? b->front : b->back;
    double lc = front ? c->front : c->back;
    double zb = b->z, zc = c->z;
    if (area < 0)
    {
        std::swap(bx, cx);
        std::swap(by, cy);
        std::swap(lb, lc);
        std::swap(zb, zc);
        area = -area;
    }

    // Edge functions at the first sample and their steps per sample; w1 and
    // w2 weigh corners b and c.
    const std::int64_t px = iFirst * unit + half, py = jFirst * unit + half;
    const std::int64_t w1Start = Edge(cx, cy, ax, ay, px, py);
    const std::int64_t w2Start = Edge(ax, ay, bx, by, px, py);
    std::int64_t w0Row = Edge(bx, by, cx, cy, px, py) - (OwnsEdge(bx, by, cx, cy) ? 0 : 1);
    std::int64_t w1Row = w1Start - (OwnsEdge(cx, cy, ax, ay) ? 0 : 1);
    std::int64_t w2Row = w2Start - (OwnsEdge(ax, ay, bx, by) ? 0 : 1);
    const std::int64_t w0x = -(cy - by) * unit, w0y = (cx - bx) * unit;
    const std::int64_t w1x = -(ay - cy) * unit, w1y = (ax - cx) * unit;
    const std::int64_t w2x = -(by - ay) * unit, w2y = (bx - ax) * unit;

    // Depth and brightness as planes over the samples.
    const double inverse = 1.0 / double(area);
    const double za = a->z;
    const double w1s = double(w1Start), w2s = double(w2Start);
    const float z0 = float(za + ((zb - za) * w1s + (zc - za) * w2s) * inverse);
    const float zi = float(((zb - za) * double(w1x) + (zc - za) * double(w2x)) * inverse);
    const float zj = float(((zb - za) * double(w1y) + (zc - za) * double(w2y)) * inverse);
    const float l0 = float(la + ((lb - la) * w1s + (lc - la) * w2s) * inverse);
    const float li = float(((lb - la) * double(w1x) + (lc - la) * double(w2x)) * inverse);
    const float lj = float(((lb - la) * double(w1y) + (lc - la) * double(w2y)) * inverse);

    if constexpr (!kBlend)
    {
        const std::int64_t lastRow = jLast - jFirst;
        const std::int64_t lastLane = (iLast - iFirst) | std::int64_t(kVectorLanes - 1);
        if (isUsingLanes && iLast - iFirst < kMostLanes &&
            FitsLanes(w0Row, w0x, w0y, lastLane, lastRow) &&
            FitsLanes(w1Row, w1x, w1y, lastLane, lastRow) &&
            FitsLanes(w2Row, w2x, w2y, lastLane, lastRow))
        {
            DrawLanes({EdgeSteps{w0Row, w0x, w0y}, EdgeSteps{w1Row, w1x, w1y},
                       EdgeSteps{w2Row, w2x, w2y}},
                      {iFirst, iLast, jFirst, jLast}, {z0, zi, zj}, {l0, li, lj}, paintIndex);
            return;
        }
    }

    const float alpha = paint.alpha;
    const float keep = 1.0f - alpha;
    const std::int64_t width = iLast - iFirst;
    for (std::int64_t j = jFirst; j <= jLast; ++j)
    {
        // This row's samples inside all three edges: for a narrow triangle
        // from the first and last sample inside, for a wide one solved.
        std::int64_t first = 0, last = width;
        if (width < kNarrow)
        {
            std::int64_t w0 = w0Row, w1 = w1Row, w2 = w2Row;
            while (first <= last && (w0 | w1 | w2) < 0)
            {
                ++first;
                w0 += w0x;
                w1 += w1x;
                w2 += w2x;
            }
            w0 = w0Row + w0x * last;
            w1 = w1Row + w1x * last;
            w2 = w2Row + w2x * last;
            while (last >= first && (w0 | w1 | w2) < 0)
            {
                --last;
                w0 -= w0x;
                w1 -= w1x;
                w2 -= w2x;
            }
        }
        else
        {
            Narrow(w0Row, w0x, first, last);
            Narrow(w1Row, w1x, first, last);
            Narrow(w2Row, w2x, first, last);
        }
        w0Row += w0y;
        w1Row += w1y;
        w2Row += w2y;
        if (first > last)
            continue;
        const float dj = float(j - jFirst);
        const float zRow = z0 + zj * dj;
        const float lRow = l0 + lj * dj;
        const std::size_t start = std::size_t(j - firstSampleRow) * samplesWide + iFirst;
        float* rowDepth = depth.data() + start;
        if (kBlend)
        {
            float* rowColour = colour.data() + 4 * start;
            for (std::int64_t t = first; t <= last; ++t)
            {
                const float z = zRow + zi * float(t);
                if (!(z < rowDepth[t]))
                    continue;
                const float shade = std::min(1.0f, std::max(0.0f, lRow + li * float(t)));
                const float weight = shade * alpha;
                float* out = rowColour + 4 * t;
                out[0] = paint.red * weight + out[0] * keep;
                out[1] = paint.green * weight + out[1] * keep;
                out[2] = paint.blue * weight + out[2] * keep;
                out[3] = alpha + out[3] * keep;
            }
        }
        else if (isUsingLanes)
        {
            DrawSpan(start, first, last, {zRow, zi, 0.0f}, {lRow, li, 0.0f}, paintIndex);
        }
        else
        {
            float* rowLight = light.data() + start;
            std::uint32_t* rowPaint = paints.data() + start;
            for (std::int64_t t = first; t <= last; ++t)
            {
                const float z = zRow + zi * float(t);
                const float shade = std::min(1.0f, std::max(0.0f, lRow + li * float(t)));
                const bool nearer = z < rowDepth[t];
                rowDepth[t] = nearer ? z : rowDepth[t];
                rowLight[t] = nearer ? shade : rowLight[t];
                rowPaint[t] = nearer ? paintIndex : rowPaint[t];
            }
        }
    }
}

void Band::DrawLanes(const std::array<EdgeSteps, 3>& edges, const SampleBox& box,
                     const Plane& depthPlane, const Plane& lightPlane, std::uint32_t paintIndex)
{
    const std::int32_t lastLane = static_cast<std::int32_t>(box.iLast - box.iFirst);
    const unsigned vectors = static_cast<unsigned>(lastLane) / kVectorLanes + 1;
    Lanes w[3];
    Lanes down[3];
    Lanes across[3];
    const Lanes lane = {0, 1, 2, 3};
    for (int k = 0; k < 3; ++k)
    {
        const auto x = static_cast<std::int32_t>(edges[k].x);
        w[k] = static_cast<std::int32_t>(edges[k].w) + lane * x;
        down[k] = Lanes{} + static_cast<std::int32_t>(edges[k].y);
        across[k] = Lanes{} + x * std::int32_t(kVectorLanes);
    }
    const Lanes paint = Lanes{} + static_cast<std::int32_t>(paintIndex);
    for (std::int64_t j = box.jFirst; j <= box.jLast; ++j)
    {
        const float dj = float(j - box.jFirst);
        const float zRow = depthPlane.start + depthPlane.down * dj;
        const float lRow = lightPlane.start + lightPlane.down * dj;
        const std::size_t start = std::size_t(j - firstSampleRow) * samplesWide + box.iFirst;
        Lanes e[3] = {w[0], w[1], w[2]};
        for (unsigned v = 0; v < vectors; ++v)
        {
            const std::int32_t first = std::int32_t(v * kVectorLanes);
            const Lanes inside = ((e[0] | e[1] | e[2]) >= 0) & (lane + first <= lastLane);
            for (int k = 0; k < 3; ++k)
                e[k] += across[k];
            const LaneReals t = LaneReals{0.0f, 1.0f, 2.0f, 3.0f} + float(first);
            const std::size_t at = start + std::size_t(first);
            PutNearer(depth.data() + at, light.data() + at, paints.data() + at, inside,
                      zRow + depthPlane.across * t, ClampShade(lRow + lightPlane.across * t),
                      paint);
        }
        for (int k = 0; k < 3; ++k)
            w[k] += down[k];
    }
}

void Band::DrawSpan(std::size_t start, std::int64_t first, std::int64_t last, const Plane& depthRow,
                    const Plane& lightRow, std::uint32_t paintIndex)
{
    const Lanes paint = Lanes{} + static_cast<std::int32_t>(paintIndex);
    for (std::int64_t t = first; t <= last; t += kVectorLanes)
    {
        const LaneReals ts = LaneReals{0.0f, 1.0f, 2.0f, 3.0f} + float(t);
        const Lanes inside = Lanes{0, 1, 2, 3} <= static_cast<std::int32_t>(last - t);
        const std::size_t at = start + std::size_t(t);
        PutNearer(depth.data() + at, light.data() + at, paints.data() + at, inside,
                  depthRow.start + depthRow.across * ts,
                  ClampShade(lightRow.start + lightRow.across * ts), paint);
    }
}

void Band::Resolve(std::uint8_t* out, bool transparentBackground) const
{
    const unsigned width = samplesWide / 2;
    for (unsigned row = 0; row < sampleRows / 2; ++row)
    {
        const float* upper = &colour[4 * std::size_t(2 * row) * samplesWide];
        const float* lower = upper + 4 * std::size_t(samplesWide);
        for (unsigned x = 0; x < width; ++x, upper += 8, lower += 8, out += 4)
        {
            float sum[4];
            for (int k = 0; k < 4; ++k)
                sum[k] = (upper[k] + upper[4 + k] + lower[k] + lower[4 + k]) * 0.25f;
            if (!transparentBackground)
            {
                out[0] = ToByte(sum[0]);
                out[1] = ToByte(sum[1]);
                out[2] = ToByte(sum[2]);
                out[3] = 255;
            }
            else if (sum[3] > 0.0f)
            {
                const float inverse = 1.0f / sum[3];
                out[0] = ToByte(sum[0] * inverse);
                out[1] = ToByte(sum[1] * inverse);
                out[2] = ToByte(sum[2] * inverse);
                out[3] = ToByte(sum[3]);
            }
            else
            {
                out[0] = out[1] = out[2] = out[3] = 0;
            }
        }
    }
}

}  // namespace preview_raster
