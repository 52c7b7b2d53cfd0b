#include "output/writeglb.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iostream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "output/scenefile.h"
#include "output/writer.h"

namespace
{

using Json = nlohmann::json;

constexpr std::uint32_t kGlbMagic = 0x46546C67;  // "glTF"
constexpr std::uint32_t kGlbVersion = 2;
constexpr std::uint32_t kJsonChunk = 0x4E4F534A;  // "JSON"
constexpr std::uint32_t kBinChunk = 0x004E4942;   // "BIN\0"
constexpr int kFloat = 5126;
constexpr int kUnsignedShort = 5123;
constexpr int kUnsignedInt = 5125;
constexpr int kArrayBuffer = 34962;
constexpr int kElementArrayBuffer = 34963;
// 1 LDraw unit is 0.4 mm.
constexpr double kMetresPerUnit = 0.0004;
// uint16 indices up to 65534: 65535 restarts a strip.
constexpr std::size_t kMaxShortVertices = 65535;

struct FinishFactors
{
    double metallic;
    double roughness;
};

FinishFactors FactorsOf(ColourFinish finish)
{
    switch (finish)
    {
        case ColourFinish::Chrome:
            return {1.0, 0.05};
        case ColourFinish::Metal:
            return {0.85, 0.2};
        case ColourFinish::MatteMetallic:
            return {0.4, 0.8};
        case ColourFinish::Pearlescent:
            return {0.25, 0.3};
        case ColourFinish::Rubber:
            return {0.0, 0.9};
        case ColourFinish::Plain:
        case ColourFinish::Material:  // glitter and speckle: no factors of their own
            break;
    }
    return {0.0, 0.3};
}

double Clamp01(double value)
{
    return value > 0.0 ? (value < 1.0 ? value : 1.0) : 0.0;  // NaN gives 0
}

// The binary chunk as the pieces it is made of, in order, each followed by
// zeros up to a multiple of four bytes. The meshes' arrays are written from
// where they lie, not gathered into one buffer first; indices narrowed to 16
// bits are kept here until written.
class BinaryPieces
{
public:
    // Appends [data, data + size), which must stay as it is until WriteTo;
    // returns its offset in the chunk.
    std::size_t Append(const void* data, std::size_t size)
    {
        const std::size_t offset = total;
        pieces.push_back({static_cast<const char*>(data), size});
        total += (size + 3) & ~std::size_t{3};
        return offset;
    }
    // Keeps `values` and appends them.
    std::size_t AppendKept(std::vector<std::uint16_t> values)
    {
        kept.push_back(std::move(values));
        return Append(kept.back().data(), kept.back().size() * sizeof(std::uint16_t));
    }
    std::size_t Size() const { return total; }
    void WriteTo(SceneFile& out) const
    {
        static constexpr char kZeros[4] = {};
        for (const Piece& piece : pieces)
        {
            out.Write(std::string_view(piece.data, piece.size));
            const std::size_t padding = ((piece.size + 3) & ~std::size_t{3}) - piece.size;
            if (padding != 0)
                out.Write(std::string_view(kZeros, padding));
        }
    }

private:
    struct Piece
    {
        const char* data;
        std::size_t size;
    };
    std::vector<Piece> pieces;
    std::deque<std::vector<std::uint16_t>> kept;
    std::size_t total = 0;
};

Json Vec3(const float* v)
{
    return Json::array({v[0], v[1], v[2]});
}

void PutUint32(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

bool IsIdentity(const Matrix4x4& matrix)
{
    static const Matrix4x4 identity;
    return std::memcmp(matrix.m, identity.m, sizeof matrix.m) == 0;
}

Json Material(int code, const ColourDescription& colour)
{
    const double alpha = Clamp01(colour.alpha);
    const double red = SrgbToLinear(Clamp01(colour.red));
    const double green = SrgbToLinear(Clamp01(colour.green));
    const double blue = SrgbToLinear(Clamp01(colour.blue));
    const FinishFactors factors = FactorsOf(colour.finish);
    Json material;
    material["name"] = colour.name.empty() ? std::to_string(code) : colour.name;
    material["pbrMetallicRoughness"] = {{"baseColorFactor", {red, green, blue, alpha}},
                                        {"metallicFactor", factors.metallic},
                                        {"roughnessFactor", factors.roughness}};
    if (colour.luminance > 0)
    {
        const double light = Clamp01(colour.luminance / 255.0);
        material["emissiveFactor"] = {red * light, green * light, blue * light};
    }
    if (alpha < 1.0)
        material["alphaMode"] = "BLEND";
    material["doubleSided"] = true;
    return material;
}

}  // namespace

double SrgbToLinear(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

bool WriteGlb::Write(const std::string& path, const InstancedScene& scene,
                     const ColorTable& colours)
{
    triangleCount = placedTriangleCount = vertexCount = byteCount = 0;
    isWritten = false;
    meshCount = scene.meshes.size();
    nodeCount = scene.nodes.size();

    BinaryPieces vertices;
    BinaryPieces indices;
    Json accessors = Json::array();
    Json meshes = Json::array();
    std::map<int, int> materialOf;  // colour code -> material, in code order
    for (const SceneMesh& mesh : scene.meshes)
        for (const SceneMesh::Primitive& primitive : mesh.primitives)
            materialOf.emplace(primitive.color, 0);
    int materialIndex = 0;
    Json materials = Json::array();
    for (auto& entry : materialOf)
    {
        entry.second = materialIndex++;
        materials.push_back(Material(entry.first, colours.Describe(entry.first)));
    }
    materialCount = materialOf.size();

    // A mesh whose vertices equal those of an earlier mesh of the same name
    // (the same part in another colour) uses that mesh's accessors.
    struct Written
    {
        std::size_t mesh;
        int position;
    };
    std::unordered_map<std::string, std::vector<Written>> writtenByName;
    // Index accessors are appended after all vertex accessors are known, so
    // their offsets are relative to the index view; they are numbered later.
    struct IndexAccessor
    {
        std::size_t offset;
        std::size_t count;
        int componentType;
    };
    std::vector<IndexAccessor> indexAccessors;
    std::vector<std::vector<std::pair<int, int>>> primitiveRefs(scene.meshes.size());
    std::vector<int> positionAccessor(scene.meshes.size(), -1);
    for (std::size_t m = 0; m < scene.meshes.size(); ++m)
    {
        const SceneMesh& mesh = scene.meshes[m];
        const std::size_t count = mesh.positions.size() / 3;
        for (const Written& earlier : writtenByName[mesh.name])
        {
            const SceneMesh& other = scene.meshes[earlier.mesh];
            if (other.positions == mesh.positions && other.normals == mesh.normals)
            {
                positionAccessor[m] = earlier.position;
                break;
            }
        }
        if (positionAccessor[m] < 0 && count != 0)
        {
            float lo[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::max()};
            float hi[3] = {-lo[0], -lo[1], -lo[2]};
            for (std::size_t v = 0; v < count; ++v)
                for (std::size_t k = 0; k < 3; ++k)
                {
                    lo[k] = std::min(lo[k], mesh.positions[3 * v + k]);
                    hi[k] = std::max(hi[k], mesh.positions[3 * v + k]);
                }
            const std::size_t bytes = 3 * count * sizeof(float);
            const std::size_t positions = vertices.Append(mesh.positions.data(), bytes);
            const std::size_t normals = vertices.Append(mesh.normals.data(), bytes);
            positionAccessor[m] = static_cast<int>(accessors.size());
            accessors.push_back({{"bufferView", 0},
                                 {"byteOffset", positions},
                                 {"componentType", kFloat},
                                 {"count", count},
                                 {"type", "VEC3"},
                                 {"min", Vec3(lo)},
                                 {"max", Vec3(hi)}});
            accessors.push_back({{"bufferView", 0},
                                 {"byteOffset", normals},
                                 {"componentType", kFloat},
                                 {"count", count},
                                 {"type", "VEC3"}});
            writtenByName[mesh.name].push_back({m, positionAccessor[m]});
            vertexCount += count;
        }
        const bool isShort = count <= kMaxShortVertices;
        for (const SceneMesh::Primitive& primitive : mesh.primitives)
        {
            const std::vector<std::uint32_t>& list = primitive.indices;
            triangleCount += list.size() / 3;
            const std::size_t offset =
                isShort ? indices.AppendKept(std::vector<std::uint16_t>(list.begin(), list.end()))
                        : indices.Append(list.data(), list.size() * sizeof(std::uint32_t));
            primitiveRefs[m].emplace_back(static_cast<int>(indexAccessors.size()),
                                          materialOf[primitive.color]);
            indexAccessors.push_back(
                {offset, list.size(), isShort ? kUnsignedShort : kUnsignedInt});
        }
    }

    const std::size_t firstIndexAccessor = accessors.size();
    for (const IndexAccessor& accessor : indexAccessors)
        accessors.push_back({{"bufferView", 1},
                             {"byteOffset", accessor.offset},
                             {"componentType", accessor.componentType},
                             {"count", accessor.count},
                             {"type", "SCALAR"}});
    for (std::size_t m = 0; m < scene.meshes.size(); ++m)
    {
        Json primitives = Json::array();
        for (const auto& [accessor, material] : primitiveRefs[m])
            primitives.push_back(
                {{"attributes",
                  {{"POSITION", positionAccessor[m]}, {"NORMAL", positionAccessor[m] + 1}}},
                 {"indices", firstIndexAccessor + static_cast<std::size_t>(accessor)},
                 {"material", material}});
        meshes.push_back({{"name", scene.meshes[m].name}, {"primitives", std::move(primitives)}});
    }

    // The root turns LDraw's -y up into +y up (half a turn about x) and units
    // into metres; scene node i is node i + 1.
    Json nodes = Json::array();
    Json root = {{"name", "LDraw to glTF"},
                 {"rotation", {1.0, 0.0, 0.0, 0.0}},
                 {"scale", {kMetresPerUnit, kMetresPerUnit, kMetresPerUnit}}};
    if (!scene.nodes.empty())
        root["children"] = {1};
    nodes.push_back(std::move(root));
    for (const SceneNode& node : scene.nodes)
    {
        Json out = {{"name", node.name}};
        if (!IsIdentity(node.transform))
        {
            Json matrix = Json::array();
            for (int column = 0; column < 4; ++column)
                for (int row = 0; row < 4; ++row)
                    matrix.push_back(node.transform.m[4 * row + column]);
            out["matrix"] = std::move(matrix);
        }
        if (node.mesh >= 0)
        {
            out["mesh"] = node.mesh;
            for (const SceneMesh::Primitive& primitive :
                 scene.meshes[static_cast<std::size_t>(node.mesh)].primitives)
                placedTriangleCount += primitive.indices.size() / 3;
        }
        if (!node.children.empty())
        {
            Json children = Json::array();
            for (const int child : node.children)
                children.push_back(child + 1);
            out["children"] = std::move(children);
        }
        nodes.push_back(std::move(out));
    }

    Json document = {{"asset", {{"version", "2.0"}, {"generator", "plinthex"}}},
                     {"scene", 0},
                     {"scenes", {{{"nodes", {0}}}}},
                     {"nodes", std::move(nodes)}};
    const std::size_t vertexBytes = vertices.Size();
    const std::size_t binBytes = vertexBytes + indices.Size();
    if (binBytes != 0)
    {
        document["meshes"] = std::move(meshes);
        document["materials"] = std::move(materials);
        document["accessors"] = std::move(accessors);
        document["bufferViews"] = {{{"buffer", 0},
                                    {"byteOffset", 0},
                                    {"byteLength", vertexBytes},
                                    {"byteStride", 12},
                                    {"target", kArrayBuffer}},
                                   {{"buffer", 0},
                                    {"byteOffset", vertexBytes},
                                    {"byteLength", indices.Size()},
                                    {"target", kElementArrayBuffer}}};
        document["buffers"] = {{{"byteLength", binBytes}}};
    }
    // Names are bytes as written in the model; any that are not UTF-8 are
    // replaced rather than refused.
    std::string text = document.dump(-1, ' ', false, Json::error_handler_t::replace);
    text.resize((text.size() + 3) & ~std::size_t{3}, ' ');

    const std::uint64_t total = 12 + 8 + text.size() + (binBytes != 0 ? 8 + binBytes : 0);
    SceneFile out;
    if (total > std::numeric_limits<std::uint32_t>::max())
    {
        std::cerr << "Error: " << path << " would be larger than 4 GiB, the most a glb holds\n";
        return false;
    }
    if (!out.Open(path))
    {
        ReportFileError("Cannot open file " + path + " for writing", path, out.ErrorNumber());
        return false;
    }
    std::string header;
    PutUint32(header, kGlbMagic);
    PutUint32(header, kGlbVersion);
    PutUint32(header, static_cast<std::uint32_t>(total));
    PutUint32(header, static_cast<std::uint32_t>(text.size()));
    PutUint32(header, kJsonChunk);
    out.Write(header);
    out.Write(text);
    if (binBytes != 0)
    {
        header.clear();
        PutUint32(header, static_cast<std::uint32_t>(binBytes));
        PutUint32(header, kBinChunk);
        out.Write(header);
        vertices.WriteTo(out);
        indices.WriteTo(out);
    }
    if (!out.Close())
    {
        ReportFileError("writing file " + path + " failed", path, out.ErrorNumber());
        return false;
    }
    byteCount = total;
    isWritten = true;
    return true;
}

void WriteGlb::DumpStats(std::ostream& stream) const
{
    if (!isWritten)
        return;
    stream << "Triangles: " << triangleCount << '\n';
    stream << "Placed   : " << placedTriangleCount << '\n';
    stream << "Vertices : " << vertexCount << '\n';
    stream << "Meshes   : " << meshCount << '\n';
    stream << "Nodes    : " << nodeCount << '\n';
    stream << "Materials: " << materialCount << '\n';
    stream << "Bytes    : " << byteCount << '\n';
}
