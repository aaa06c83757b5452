// End-to-end test of tarnwell-snapshot: one frame of an emulated camera computing real depth.
#include <png.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ReadPicture {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    png_uint_32 storedFormat = 0;
    std::vector<std::uint8_t> rgb;  // converted to RGB, whatever was stored

    const std::uint8_t* At(png_uint_32 x, png_uint_32 y) const {
        return &rgb[(std::size_t{y} * width + x) * 3];
    }
};

ReadPicture ReadPng(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ReadPicture picture;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        ADD_FAILURE() << path << ": " << image.message;
        return picture;
    }
    picture.width = image.width;
    picture.height = image.height;
    picture.storedFormat = image.format;
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) == 0) {
        ADD_FAILURE() << path << ": " << image.message;
    }
    return picture;
}

class Snapshot : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::path(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") /
                               "snapshot-test.XXXXXX")
                                  .string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { fs::remove_all(directory_); }

    // Runs the program with its output and errors in a file (or its output to `stdoutTo`); its
    // exit status.
    int Run(const std::string& arguments, const std::string& emulation,
            const std::string& stdoutTo = "") {
        const std::string output = (directory_ / "output").string();
        const std::string command = "ORVEL_EMULATION='" + emulation + "' '" + TARNWELL_SNAPSHOT +
                                    "' " + arguments + " 2>'" + output + "' >'" +
                                    (stdoutTo.empty() ? output : stdoutTo) + "'" +
                                    (stdoutTo.empty() ? " 2>&1" : "");
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Output() const {
        std::ifstream in(directory_ / "output");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path directory_;
};

// Makes sure each picture comes from its own component, at its own size and in its format: the
// left view at the eye's size in grey, the depth components at the depth size; a pixel without
// a disparity is black in the disparity, 0 in the confidence and unknown (grey) in the error.
// Example failure: the confidence is read at the disparity's offset, or the disparity's 16-bit
// values are read as bytes, so the invalid pixels of one picture do not line up with the others.
TEST_F(Snapshot, SavesEveryComponentAtItsSize) {
    const std::string prefix = (directory_ / "frame").string();
    ASSERT_EQ(Run("--quality-mode High --binning 4 --output '" + prefix + "'", "1"), 0) << Output();

    const ReadPicture left = ReadPng(prefix + "-left.png");
    const ReadPicture disparity = ReadPng(prefix + "-disparity.png");
    const ReadPicture confidence = ReadPng(prefix + "-confidence.png");
    const ReadPicture error = ReadPng(prefix + "-error.png");
    EXPECT_EQ(left.width, 480U);
    EXPECT_EQ(left.height, 300U);
    EXPECT_EQ(left.storedFormat, PNG_FORMAT_GRAY);
    EXPECT_EQ(confidence.storedFormat, PNG_FORMAT_GRAY);
    EXPECT_EQ(disparity.storedFormat, PNG_FORMAT_RGB);
    EXPECT_EQ(error.storedFormat, PNG_FORMAT_RGB);
    for (const ReadPicture* depth : {&disparity, &confidence, &error}) {
        EXPECT_EQ(depth->width, 240U);
        EXPECT_EQ(depth->height, 150U);
    }
    ASSERT_FALSE(::testing::Test::HasFailure());

    std::size_t invalid = 0;
    for (png_uint_32 y = 0; y < disparity.height; ++y) {
        for (png_uint_32 x = 0; x < disparity.width; ++x) {
            const std::uint8_t* d = disparity.At(x, y);
            if (d[0] != 0 || d[1] != 0 || d[2] != 0) {
                continue;
            }
            ++invalid;
            ASSERT_EQ(confidence.At(x, y)[0], 0) << "at " << x << "," << y;
            const std::uint8_t* e = error.At(x, y);
            ASSERT_TRUE(e[0] == 128 && e[1] == 128 && e[2] == 128) << "at " << x << "," << y;
        }
    }
    // Occlusions give some invalid pixels; most of the scene is matched.
    EXPECT_GT(invalid, 0U);
    EXPECT_LT(invalid, std::size_t{disparity.width} * disparity.height / 2);
}

// Makes sure an error of the camera ends the program with its one line and exit status 1 before
// any picture is written. Example failure: the SDK's exception escapes main, the program aborts
// and its message is lost.
TEST_F(Snapshot, FailsWithoutAComponent) {
    std::ofstream(directory_ / "scenario.json")
        << R"({"cameras": [{"missingComponents": ["Error"], "processing": "modelled"}]})";
    const std::string prefix = (directory_ / "frame").string();
    EXPECT_EQ(Run("--binning 4 --output '" + prefix + "'", (directory_ / "scenario.json").string()),
              1);
    // The processing unit, as tarnwell prints it, then the SDK's own words: one line that names
    // the component.
    const std::string output = Output();
    EXPECT_TRUE(output.starts_with("Processing Unit: CPU\n")) << output;
    EXPECT_EQ(output.find('\n', 21), output.size() - 1) << output;
    EXPECT_NE(output.find("'Error'"), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(prefix + "-left.png"));
}

// Makes sure the program ends with one line and exit status 1 where it has nothing true to save,
// and shows the camera's texts escaped as tarnwell does. Example failures: pictures of a buffer
// nobody filled (a modelled camera) saved with exit 0; exit 0 with nothing written to a full
// disk; a retry on a camera that ended its acquisition, refused by the SDK's state gate; a
// camera's escape sequence sent to the terminal.
TEST_F(Snapshot, RefusesWhatItCannotPicture) {
    struct Case {
        std::string scenario;
        std::string stdoutTo;
        std::string output;
    };
    const std::string prefix = (directory_ / "frame").string();
    for (const Case& c : std::vector<Case>{
             {R"({"cameras": [{"processing": "modelled"}]})", "",
              "Processing Unit: CPU\n"
              "The camera sent a frame without image data: nothing to picture.\n"},
             {R"({"cameras": [{}]})", "/dev/full",
              "Cannot write to standard output: No space left on device\n"},
             {R"({"cameras": [{"stopGrabbingAfter": 1,
                  "grabFailures": {"every": 1, "description": "bad\u001b[31m"}}]})",
              "",
              "Processing Unit: CPU\n"
              "Grab error occurred (e1000014): bad\\x1b[31m\n"
              "No frame grabbed in 1 attempt; the camera ended its acquisition.\n"}}) {
        std::ofstream(directory_ / "scenario.json") << c.scenario;
        EXPECT_EQ(Run("--binning 4 --output '" + prefix + "'",
                      (directory_ / "scenario.json").string(), c.stdoutTo),
                  1);
        EXPECT_EQ(Output(), c.output) << c.scenario;
    }
}

}  // namespace
