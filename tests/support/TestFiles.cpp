// Files that tests write: each test's in a directory of its own, removed when the test ends.
#include "TestFiles.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>
#include <png.h>

namespace Tarnwell::test {
namespace {

// Handed to the child a death test starts afresh, so that it writes where its parent cleans up.
constexpr const char* kInheritedDirectory = "TARNWELL_TEST_DIRECTORY";

std::filesystem::path MakeUniqueDirectory() {
    std::string pattern = testing::TempDir() + "tarnwell-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    return pattern;
}

class Directory {
public:
    explicit Directory(bool inheritable) {
        const char* inherited = std::getenv(kInheritedDirectory);
        if (inherited != nullptr && std::filesystem::is_directory(inherited)) {
            path_ = inherited;
            return;
        }
        path_ = MakeUniqueDirectory();
        owned_ = true;
        if (inheritable) {
            ::setenv(kInheritedDirectory, path_.c_str(), 1);
        }
    }
    ~Directory() {
        if (owned_) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
            ::unsetenv(kInheritedDirectory);
        }
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    bool owned_ = false;
};

std::unique_ptr<Directory>& CurrentTestDirectory() {
    static std::unique_ptr<Directory> directory;
    return directory;
}

// Removes a test's directory when the test ends.
class Remover : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override { CurrentTestDirectory().reset(); }
};

}  // namespace

const std::filesystem::path& TestDirectory() {
    if (testing::UnitTest::GetInstance()->current_test_info() == nullptr) {
        static const Directory process(false);
        return process.Path();
    }
    static const bool listening = [] {
        testing::UnitTest::GetInstance()->listeners().Append(new Remover);
        return true;
    }();
    (void)listening;
    std::unique_ptr<Directory>& current = CurrentTestDirectory();
    if (!current) {
        current = std::make_unique<Directory>(true);
    }
    return current->Path();
}

std::filesystem::path WriteTestFile(const std::string& name, const std::string& content) {
    std::filesystem::path path = TestDirectory() / name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
    return path;
}

std::filesystem::path WriteTestPng(const std::string& name, int width, int height,
                                   const std::vector<std::uint8_t>& grey) {
    std::filesystem::path path = TestDirectory() / name;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_GRAY;
    if (png_image_write_to_file(&image, path.c_str(), 0, grey.data(), width, nullptr) == 0) {
        throw std::runtime_error("cannot write " + path.string() + ": " + image.message);
    }
    return path;
}

}  // namespace Tarnwell::test
