#pragma once

#include <cassert>
#include <cstddef>
#include <vector>

// The LDraw colour code of each face of a mesh. Once the meshes are split
// by colour every face of a mesh has the same code, and millions of copies
// of it would be the largest thing the mesh holds after its corners and
// normals: such a list keeps the code and the count instead (SetUniform).
// Any change through the writable accessors first makes it a list again.
class FaceColors
{
public:
    std::size_t size() const { return isUniform ? uniformCount : codes.size(); }
    int operator[](std::size_t f) const
    {
        assert(f < size());
        return isUniform ? uniformCode : codes[f];
    }
    // For writing: the list must be one of codes (Expand).
    int& operator[](std::size_t f)
    {
        assert(!isUniform && f < codes.size());
        return codes[f];
    }
    // Makes a uniform list a list of codes again, for changing.
    void Expand()
    {
        if (!isUniform)
            return;
        isUniform = false;
        codes.assign(uniformCount, uniformCode);
    }

    int& emplace_back()
    {
        Expand();
        return codes.emplace_back();
    }
    void resize(std::size_t count)
    {
        Expand();
        codes.resize(count);
    }
    // Keeps the first `count` codes (count at most size()); a shared code
    // stays shared.
    void Truncate(std::size_t count)
    {
        assert(count <= size());
        if (isUniform)
            uniformCount = count;
        else
            codes.resize(count);
    }
    bool IsShared() const { return isUniform; }
    // Room ahead matters only for a list that will grow code by code.
    void reserve(std::size_t count)
    {
        if (!isUniform)
            codes.reserve(count);
    }
    std::size_t capacity() const { return isUniform ? uniformCount : codes.capacity(); }

    // `count` faces, all of colour `code`.
    void SetUniform(std::size_t count, int code)
    {
        std::vector<int>().swap(codes);
        isUniform = true;
        uniformCount = count;
        uniformCode = code;
    }
    // Keeps one code for all the faces when they all have it.
    void ShareIfAlike()
    {
        if (isUniform || codes.empty())
            return;
        const int first = codes.front();
        for (const int code : codes)
            if (code != first)
                return;
        SetUniform(codes.size(), first);
    }
    void Release()
    {
        std::vector<int>().swap(codes);
        isUniform = false;
        uniformCount = 0;
    }

private:
    std::vector<int> codes;
    std::size_t uniformCount = 0;
    int uniformCode = 0;
    bool isUniform = false;
};
