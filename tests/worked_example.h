#pragma once

// The scene file of a two-node tree, written with bounding boxes shown:
// model.ldr places tri.dat, one triangle with normal (0, 0, 1), in colour 4.
// Each line as its number of leading tabs and its text.

#include <utility>
#include <vector>

inline const std::vector<std::pair<unsigned, const char*>>& WorkedExampleLines()
{
    static const std::vector<std::pair<unsigned, const char*>> lines = {
        {0, "TRISETIO 1.0"},
        {0, ""},
        {0, "Class = LEVEL {"},
        {1, "Name = model.ldr"},
        {1, "Invisible"},
        {1, "END ATTRIB"},
        {1, "Class = LEVEL {"},
        {2, "Name = tri.dat_wrapper"},
        {2, "Color = 0.796875 0 0 1"},
        {2, "END ATTRIB"},
        {2, "Class = INSTANCE {"},
        {3, "Name = instance of level tri.dat"},
        {3, "Matrix = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1"},
        {3, "END ATTRIB"},
        {3, "SOURCE = LEVEL tri.dat"},
        {3, "} \\\\ end INSTANCE tri.dat"},
        {2, "} \\\\ end LEVEL tri.dat"},
        {1, "} \\\\ end LEVEL model.ldr"},
        {0, "Class = LEVEL {"},
        {1, "Name = Parts"},
        {1, "Invisible"},
        {1, "END ATTRIB"},
        {1, "Class = LEVEL {"},
        {2, "Name = tri.dat"},
        {2, "END ATTRIB"},
        {2, "Class = TRISET {"},
        {3, "Name = tri.dat triset"},
        {3, "END ATTRIB"},
        {3, "PointCount = 3"},
        {3, "FaceCount = 1"},
        {3, "Vertices = {"},
        {4, "{ 0 0 0}"},
        {4, "{ 1 0 0}"},
        {4, "{ 0 1 0}"},
        {4, "}"},
        {3, "Faces = {"},
        {4, "{ 0 1 2 }"},
        {4, "}"},
        {3, "Normals = {"},
        {4, "{"},
        {5, "{ 0 0 1 }"},
        {5, "{ 0 0 1 }"},
        {5, "{ 0 0 1 }"},
        {4, "}"},
        {4, "}"},
        {3, "} \\\\ end TRISET tri.dat triset"},
        {2, "} \\\\ end LEVEL tri.dat"},
        {1, "} \\\\ end LEVEL Parts"},
    };
    return lines;
}
