#pragma once

#include <string>

// Reads all of the file at `path` into `text`, or fails; a directory fails on
// its first read, a file too large for memory like one that cannot be
// opened. With `mustBeRegular` anything but a regular file fails: a library
// entry that is a pipe would wait for a writer forever, a device might never
// end.
bool ReadWholeFile(const std::string& path, bool mustBeRegular, std::string& text);
