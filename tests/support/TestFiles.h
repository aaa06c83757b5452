// Files that tests write: each test's in a directory of its own, removed when the test ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Tarnwell::test {

// The running test's directory, made on first use under the temporary directory with a unique
// name (parallel runs cannot collide) and removed with everything in it when the test ends.
// Outside a test (parameters built before the tests run), one directory for the process,
// removed at its exit. The dying child of a death test uses its parent's directory.
const std::filesystem::path& TestDirectory();

// Writes `content` to the file `name` of TestDirectory() and returns its path.
std::filesystem::path WriteTestFile(const std::string& name, const std::string& content);

// Writes an 8-bit grey image (`grey`: rows of `width` bytes) as the PNG file `name` of
// TestDirectory() and returns its path.
std::filesystem::path WriteTestPng(const std::string& name, int width, int height,
                                   const std::vector<std::uint8_t>& grey);

}  // namespace Tarnwell::test
