// Reading recorded pairs and true disparities: PNG through libpng, PFM by hand.
#include "emulation/Recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orvel::detail {

namespace stereo = Tarnwell::stereo;

namespace {

// Recordings are camera images: anything larger is not one.
constexpr png_uint_32 kMaxSide = 4096;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Images are camera frames, not streams: a regular file of bounded size, judged on the opened
// file before a byte is read (a FIFO would block the start, a device read without end).
constexpr off_t kMaxFileBytes = off_t{256} << 20;

File Open(const std::string& path) {
    const auto fail = [](const std::string& fault) { throw std::runtime_error(fault); };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(std::string("cannot be read (") + std::strerror(errno) + ")");
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        fail("is not a regular file");
    }
    if (status.st_size > kMaxFileBytes) {
        ::close(fd);
        fail("is larger than 256 MiB");
    }
    File file(::fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        fail(std::string("cannot be read (") + std::strerror(errno) + ")");
    }
    return file;
}

void CheckSize(png_uint_32 width, png_uint_32 height) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
        throw std::runtime_error("is " + std::to_string(width) + "x" + std::to_string(height) +
                                 ", not an image of 1 to 4096 pixels a side");
    }
}

stereo::Image<float> ReadPfm(std::FILE* file) {
    char kind[3] = {};
    int width = 0;
    int height = 0;
    double scale = 0;
    if (std::fscanf(file, "%2s %d %d %lf", kind, &width, &height, &scale) != 4 ||
        std::string(kind) != "Pf" || std::fgetc(file) == EOF) {
        throw std::runtime_error("is not a one-channel PFM image");
    }
    CheckSize(static_cast<png_uint_32>(std::max(width, 0)),
              static_cast<png_uint_32>(std::max(height, 0)));
    const bool bigEndian = scale > 0;
    stereo::Image<float> image(width, height);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 4);
    // Rows are stored bottom to top.
    for (int y = height - 1; y >= 0; --y) {
        if (std::fread(row.data(), 1, row.size(), file) != row.size()) {
            throw std::runtime_error("is a PFM image cut short");
        }
        for (int x = 0; x < width; ++x) {
            unsigned char* b = &row[static_cast<std::size_t>(x) * 4];
            if (bigEndian) {
                std::swap(b[0], b[3]);
                std::swap(b[1], b[2]);
            }
            float value = 0;
            std::memcpy(&value, b, 4);
            image.At(x, y) = std::isfinite(value) ? value : std::numeric_limits<float>::quiet_NaN();
        }
    }
    return image;
}

// The simplified API of libpng, which reports faults in the image structure instead of by a
// long jump; `format` as the file has it, and the structure freed on every way out.
class PngReader {
public:
    explicit PngReader(std::FILE* file) {
        image_.version = PNG_IMAGE_VERSION;
        if (png_image_begin_read_from_stdio(&image_, file) == 0) {
            Fail();
        }
        CheckSize(image_.width, image_.height);
    }
    ~PngReader() { png_image_free(&image_); }
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;

    png_uint_32 Format() const { return image_.format; }
    int Width() const { return static_cast<int>(image_.width); }
    int Height() const { return static_cast<int>(image_.height); }

    // Decodes into `pixels` (rows of `stride` samples) as `format`.
    void Read(png_uint_32 format, void* pixels, int stride) {
        image_.format = format;
        if (png_image_finish_read(&image_, nullptr, pixels, stride, nullptr) == 0) {
            Fail();
        }
    }

private:
    [[noreturn]] void Fail() {
        throw std::runtime_error(std::string("is not a readable PNG image (") + image_.message +
                                 ")");
    }

    png_image image_{};
};

stereo::Image<float> ReadDisparityPng(std::FILE* file) {
    PngReader png(file);
    // Sixteen-bit samples read as linear are the file's own values.
    if ((png.Format() & PNG_FORMAT_FLAG_LINEAR) == 0 ||
        (png.Format() & (PNG_FORMAT_FLAG_COLOR | PNG_FORMAT_FLAG_ALPHA)) != 0) {
        throw std::runtime_error("is not a 16-bit grey PNG image");
    }
    stereo::Image<std::uint16_t> raw(png.Width(), png.Height());
    png.Read(PNG_FORMAT_LINEAR_Y, raw.Row(0), raw.Width());
    stereo::Image<float> image(png.Width(), png.Height());
    for (int y = 0; y < image.Height(); ++y) {
        for (int x = 0; x < image.Width(); ++x) {
            const std::uint16_t value = raw.At(x, y);
            image.At(x, y) = value == 0 ? std::numeric_limits<float>::quiet_NaN()
                                        : static_cast<float>(value) / 256;
        }
    }
    return image;
}

}  // namespace

stereo::Image<std::uint8_t> ReadGreyPng(const std::string& path) {
    const File file = Open(path);
    PngReader png(file.get());
    stereo::Image<std::uint8_t> image(png.Width(), png.Height());
    png.Read(PNG_FORMAT_GRAY, image.Row(0), image.Width());
    return image;
}

stereo::Image<float> ReadDisparity(const std::string& path) {
    const File file = Open(path);
    const int first = std::fgetc(file.get());
    const int second = std::fgetc(file.get());
    std::rewind(file.get());
    if (first == 'P' && second == 'f') {
        return ReadPfm(file.get());
    }
    return ReadDisparityPng(file.get());
}

}  // namespace Orvel::detail
