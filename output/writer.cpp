#include "output/writer.h"

#include <cstring>
#include <iostream>

#include "output/writeglb.h"
#include "output/writetriset.h"

std::unique_ptr<ModelWriter> MakeModelWriter(OutputFormat format)
{
    switch (format)
    {
        case OutputFormat::Triset:
            return std::make_unique<WriteTriset>();
        case OutputFormat::Glb:
            return std::make_unique<WriteGlb>();
    }
    return nullptr;
}

void ReportFileError(const std::string& line, const std::string& path, int error)
{
    std::cerr << "Error: " << line << '\n';
    if (error != 0)
        std::cerr << "Error: " << path << ": " << std::strerror(error) << '\n';
}
