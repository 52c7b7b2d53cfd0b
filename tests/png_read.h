#pragma once

// Reads a PNG file back as 8-bit RGBA, for tests.

#include <cstdint>
#include <png.h>
#include <string>
#include <vector>

struct PngPicture
{
    unsigned width = 0;
    unsigned height = 0;
    std::vector<std::uint8_t> rgba;  // empty when the file could not be read
};

inline PngPicture ReadPng(const std::string& path)
{
    PngPicture picture;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return picture;
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
    {
        png_image_free(&image);
        return picture;
    }
    picture.width = image.width;
    picture.height = image.height;
    picture.rgba = std::move(pixels);
    return picture;
}
