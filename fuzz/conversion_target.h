#pragma once

#include <cstddef>
#include <cstdint>

// One fuzz input is a model and a small library: its lines up to the first
// line "~~~~" are the model, each further part up to the next such line is
// one library file, under these names in turn:
//   p/a.dat, parts/b.dat, parts/s/c.dat, parts/a.dat, p/48/d.dat,
//   parts/s/b.dat, parts/e.dat, p/8/h.dat, models/f.ldr
// and then g.dat beside the model. The library also holds parts/dir.dat, a
// folder where a file is expected.
// The files are written to a private folder (under /dev/shm when there is
// one), the whole conversion runs on them, and the result is checked: a
// successful run leaves a scene with only finite numbers, a failed one
// leaves no file at all. A model that converts is converted again to a glb
// with a small picture, which must succeed with both files or fail cleanly.
// A broken check aborts.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
