#pragma once

// The file format a conversion writes.
enum class OutputFormat
{
    Triset,  // the scene text file
    Glb,     // binary glTF 2.0
};
