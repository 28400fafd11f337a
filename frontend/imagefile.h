// Loading of the image file into the engine's long image buffer.
#pragma once

#include <string>

namespace frontend {

// Reads FileName (raw little-endian longs, at most 8,193) into
// bootlink::Buffer in one block read, sets bootlink::LongCount and prints the
// file lines and a listing of every long. A file failure raises EInOutError.
void LoadImageFile(const std::string& FileName);

}  // namespace frontend
