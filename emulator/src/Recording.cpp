// Reading recorded pairs and true disparities: PNG through libpng's row reader, PFM by hand.
#include "Recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orvel::detail {

namespace {

// Recordings are camera images: anything larger is not one.
constexpr int kMaxSide = 4096;
// Images are camera frames, not streams: a regular file of bounded size, judged on the opened
// file before a byte is read (a FIFO would block the start, a device read without end).
constexpr off_t kMaxFileBytes = off_t{256} << 20;
// The largest ancillary chunk libpng may take into memory; the reader skips them all anyway.
constexpr png_alloc_size_t kMaxChunkBytes = 1 << 20;

[[noreturn]] void Fail(const std::string& fault) {
    throw std::runtime_error(fault);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct OpenedFile {
    File file;
    FileIdentity identity;
    off_t size = 0;
};

OpenedFile Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(std::string("cannot be read (") + std::strerror(errno) + ")");
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        Fail("is not a regular file");
    }
    if (status.st_size > kMaxFileBytes) {
        ::close(fd);
        Fail("is larger than 256 MiB");
    }
    OpenedFile opened;
    opened.file.reset(::fdopen(fd, "rb"));
    if (!opened.file) {
        const int error = errno;
        ::close(fd);
        Fail(std::string("cannot be read (") + std::strerror(error) + ")");
    }
    opened.identity = {status.st_dev, status.st_ino};
    opened.size = status.st_size;
    return opened;
}

std::string SizeText(const std::string& width, const std::string& height) {
    return "is " + width + "x" + height + ", not an image of 1 to 4096 pixels a side";
}

void CheckSize(long long width, long long height) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        Fail(SizeText(std::to_string(width), std::to_string(height)));
    }
}

// ---- PNG ----

// One libpng reader. libpng reports faults by a long jump back to the setjmp of Guarded; what is
// unwound by it is C code and lambdas without objects to destroy.
struct PngRead {
    png_structp png = nullptr;
    png_infop info = nullptr;
    char message[160] = "";

    PngRead() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &OnError, &OnWarning);
        if (png != nullptr) {
            info = png_create_info_struct(png);
        }
        if (info == nullptr) {
            png_destroy_read_struct(&png, nullptr, nullptr);
            throw std::bad_alloc();
        }
    }
    ~PngRead() { png_destroy_read_struct(&png, &info, nullptr); }
    PngRead(const PngRead&) = delete;
    PngRead& operator=(const PngRead&) = delete;

    static void OnError(png_structp png, png_const_charp text) {
        auto* self = static_cast<PngRead*>(png_get_error_ptr(png));
        std::snprintf(self->message, sizeof self->message, "%s", text);
        png_longjmp(png, 1);
    }
    static void OnWarning(png_structp, png_const_charp) {}

    // Runs `step`, its libpng faults raised as std::runtime_error.
    template <class Step>
    void Guarded(Step step) {
        if (setjmp(png_jmpbuf(png)) != 0) {
            Fail(std::string("is not a readable PNG image (") + message + ")");
        }
        step();
    }
};

struct PngHeader {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colourType = 0;
    bool interlaced = false;
};

// Up to the image data: the header's chunk alone is looked at. Every ancillary chunk (gamma,
// colour space, text, …) is skipped unread: the samples are taken as stored, and no compressed
// text is inflated.
PngHeader ReadPngHeader(PngRead& read, std::FILE* file) {
    PngHeader header;
    read.Guarded([&] {
        png_init_io(read.png, file);
        png_set_chunk_malloc_max(read.png, kMaxChunkBytes);
        png_set_keep_unknown_chunks(read.png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
        png_read_info(read.png, read.info);
        int interlace = 0;
        png_get_IHDR(read.png, read.info, &header.width, &header.height, &header.bitDepth,
                     &header.colourType, &interlace, nullptr, nullptr);
        header.interlaced = interlace != PNG_INTERLACE_NONE;
    });
    CheckSize(header.width, header.height);
    return header;
}

// How a reader turns the stored samples into the rows it wants; set before the rows are read.
using PngTransform = void (*)(png_structp png, const PngHeader& header);

// The state of a progressive read, which libpng's callbacks reach through the reader's pointer.
struct PngRows {
    const PngHeader* header;
    PngTransform transform;
    std::size_t rowBytes;
    std::vector<png_bytep>* rows;
};

void OnPngInfo(png_structp png, png_infop info) {
    auto* rows = static_cast<PngRows*>(png_get_progressive_ptr(png));
    rows->transform(png, *rows->header);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != rows->rowBytes) {
        png_error(png, "unexpected row size");
    }
}

void OnPngRow(png_structp png, png_bytep row, png_uint_32 number, int /*pass*/) {
    auto* rows = static_cast<PngRows*>(png_get_progressive_ptr(png));
    // A pass that leaves the row as it was brings none.
    if (row != nullptr && number < rows->rows->size()) {
        png_progressive_combine_row(png, (*rows->rows)[number], row);
    }
}

// Reads the rows of the PNG `file` holds into `pixels` (`rowBytes` each, after `transform`) and
// stops there. libpng's progressive reader inflates no data past the last row, where its row by
// row reader inflates the rest of the stream: a decompression bomb (1 MB inflating to 1 GiB past
// a small image) costs nothing, and the file is read no further than the rows.
void ReadPngRows(std::FILE* file, const PngHeader& header, std::vector<png_byte>& pixels,
                 std::size_t rowBytes, PngTransform transform) {
    pixels.resize(rowBytes * header.height);
    std::vector<png_bytep> rowPointers(header.height);
    for (png_uint_32 y = 0; y < header.height; ++y) {
        rowPointers[y] = pixels.data() + rowBytes * y;
    }
    PngRows rows{&header, transform, rowBytes, &rowPointers};
    std::vector<png_byte> block(1 << 16);
    PngRead read;
    bool complete = false;
    read.Guarded([&] {
        png_set_progressive_read_fn(read.png, &rows, &OnPngInfo, &OnPngRow, nullptr);
        png_set_chunk_malloc_max(read.png, kMaxChunkBytes);
        png_set_keep_unknown_chunks(read.png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
        while (!complete) {
            const std::size_t got = std::fread(block.data(), 1, block.size(), file);
            if (got == 0) {
                break;
            }
            png_process_data(read.png, read.info, block.data(), got);
            // Past the last row of the last pass: what follows is not read.
            complete = header.interlaced ? png_get_current_pass_number(read.png) > 6
                                         : png_get_current_row_number(read.png) >= header.height;
        }
    });
    if (!complete) {
        Fail("is a PNG image cut short");
    }
}

FileIdentity CheckUnchanged(const OpenedFile& opened, const ImageHeader& expected, int width,
                            int height) {
    if (opened.identity != expected.file || width != expected.width || height != expected.height) {
        Fail("changed while the scenario was read");
    }
    return opened.identity;
}

// ---- PFM ----

struct PfmHeader {
    int width = 0;
    int height = 0;
    bool bigEndian = false;
    std::size_t dataOffset = 0;
};

// "Pf", width, height and scale separated by white space, then one white-space byte and exactly
// width·height little- or big-endian floats (the scale's sign says which), rows bottom to top.
PfmHeader ReadPfmHeader(std::FILE* file, off_t fileSize) {
    char text[128];
    const std::size_t got = std::fread(text, 1, sizeof text, file);
    std::size_t at = 0;
    const auto isSpace = [&](std::size_t i) {
        return i < got && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r');
    };
    const auto word = [&] {
        const std::size_t from = at;
        while (at < got && !isSpace(at) && text[at] != '\0') {
            ++at;
        }
        return std::string(text + from, at - from);
    };
    // At least one white-space byte, or exactly one after the scale: the data may begin with
    // bytes that look like white space.
    const auto space = [&](bool one) {
        const std::size_t from = at;
        while (isSpace(at) && (!one || at == from)) {
            ++at;
        }
        return at > from;
    };
    const auto fail = [] { Fail("is not a one-channel PFM image"); };
    const std::string kind = word();
    if (kind != "Pf" || !space(false)) {
        fail();
    }
    const std::string width = word();
    const bool widthEnded = space(false);
    const std::string height = word();
    const bool heightEnded = space(false);
    const std::string scale = word();
    if (!widthEnded || !heightEnded || scale.empty() || !space(true)) {
        fail();
    }
    // A size that is an integer but not one of 1 to 4096 is named as written.
    const auto integer = [](const std::string& text) {
        const std::size_t first = text.starts_with('-') ? 1 : 0;
        return text.size() > first &&
               text.find_first_not_of("0123456789", first) == std::string::npos;
    };
    if (!integer(width) || !integer(height)) {
        fail();
    }
    const auto inRange = [](const std::string& text) {
        return text.size() <= 4 && !text.starts_with('-') && std::stoi(text) >= 1 &&
               std::stoi(text) <= kMaxSide;
    };
    if (!inRange(width) || !inRange(height)) {
        Fail(SizeText(width.substr(0, 24), height.substr(0, 24)));
    }
    char* end = nullptr;
    const double factor = std::strtod(scale.c_str(), &end);
    if (end != scale.c_str() + scale.size() || !std::isfinite(factor) || factor == 0) {
        fail();
    }
    PfmHeader header;
    header.width = std::stoi(width);
    header.height = std::stoi(height);
    header.bigEndian = factor > 0;
    header.dataOffset = at;
    const auto data = static_cast<unsigned long long>(fileSize) - header.dataOffset;
    const auto expected = 4ULL * static_cast<unsigned long long>(header.width) *
                          static_cast<unsigned long long>(header.height);
    if (data != expected) {
        Fail("is a PFM image of " + std::to_string(data) + " data bytes, not the " +
             std::to_string(expected) + " of " + width + "x" + height + " pixels");
    }
    return header;
}

bool IsPfm(std::FILE* file) {
    const int first = std::fgetc(file);
    const int second = std::fgetc(file);
    std::rewind(file);
    // "PF" is the colour form: a PFM, but not one this reader takes.
    return first == 'P' && (second == 'f' || second == 'F');
}

}  // namespace

std::size_t ImageHeader::DecodedBytes(RecordedKind kind) const {
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    return kind == RecordedKind::View ? pixels : pixels * sizeof(float);
}

ImageHeader ReadImageHeader(const std::string& path, RecordedKind kind) {
    const OpenedFile opened = Open(path);
    ImageHeader header;
    header.file = opened.identity;
    if (kind == RecordedKind::Disparity && IsPfm(opened.file.get())) {
        const PfmHeader pfm = ReadPfmHeader(opened.file.get(), opened.size);
        header.width = pfm.width;
        header.height = pfm.height;
        return header;
    }
    PngRead read;
    const PngHeader png = ReadPngHeader(read, opened.file.get());
    if (kind == RecordedKind::Disparity &&
        (png.colourType != PNG_COLOR_TYPE_GRAY || png.bitDepth != 16)) {
        Fail("is not a 16-bit grey PNG image");
    }
    header.width = static_cast<int>(png.width);
    header.height = static_cast<int>(png.height);
    return header;
}

GreyImage ReadGreyImage(const std::string& path, const ImageHeader& header) {
    const OpenedFile opened = Open(path);
    PngHeader png;
    {
        PngRead probe;
        png = ReadPngHeader(probe, opened.file.get());
    }
    CheckUnchanged(opened, header, static_cast<int>(png.width), static_cast<int>(png.height));
    std::rewind(opened.file.get());
    const bool colour = (png.colourType & PNG_COLOR_MASK_COLOR) != 0;
    std::vector<png_byte> pixels;
    ReadPngRows(opened.file.get(), png, pixels, (colour ? 3 : 1) * std::size_t(png.width),
                [](png_structp reader, const PngHeader& stored) {
                    if (stored.colourType == PNG_COLOR_TYPE_PALETTE) {
                        png_set_palette_to_rgb(reader);
                    }
                    if (stored.colourType == PNG_COLOR_TYPE_GRAY && stored.bitDepth < 8) {
                        png_set_expand_gray_1_2_4_to_8(reader);
                    }
                    if (stored.bitDepth == 16) {
                        png_set_scale_16(reader);
                    }
                    // Alpha is not looked at; a palette's transparency would bring it too.
                    png_set_strip_alpha(reader);
                });
    GreyImage image(header.width, header.height);
    std::uint8_t* out = image.Row(0);
    if (!colour) {
        std::copy(pixels.begin(), pixels.end(), out);
        return image;
    }
    // ITU-R BT.601 luma on the stored samples, in 14-bit fixed point, rounded.
    for (std::size_t i = 0; i < pixels.size() / 3; ++i) {
        const unsigned r = pixels[3 * i];
        const unsigned g = pixels[3 * i + 1];
        const unsigned b = pixels[3 * i + 2];
        out[i] = static_cast<std::uint8_t>((4899 * r + 9617 * g + 1868 * b + 8192) >> 14);
    }
    return image;
}

DisparityImage ReadDisparityImage(const std::string& path, const ImageHeader& header) {
    const OpenedFile opened = Open(path);
    std::FILE* file = opened.file.get();
    constexpr float kUnknown = std::numeric_limits<float>::quiet_NaN();
    DisparityImage image(header.width, header.height);
    if (IsPfm(file)) {
        const PfmHeader pfm = ReadPfmHeader(file, opened.size);
        CheckUnchanged(opened, header, pfm.width, pfm.height);
        if (std::fseek(file, static_cast<long>(pfm.dataOffset), SEEK_SET) != 0) {
            Fail(std::string("cannot be read (") + std::strerror(errno) + ")");
        }
        std::vector<unsigned char> row(std::size_t(pfm.width) * 4);
        for (int y = pfm.height - 1; y >= 0; --y) {
            if (std::fread(row.data(), 1, row.size(), file) != row.size()) {
                Fail("is a PFM image cut short");
            }
            for (int x = 0; x < pfm.width; ++x) {
                unsigned char* b = &row[std::size_t(x) * 4];
                if (pfm.bigEndian) {
                    std::swap(b[0], b[3]);
                    std::swap(b[1], b[2]);
                }
                float value = 0;
                std::memcpy(&value, b, 4);
                image.At(x, y) = std::isfinite(value) ? value : kUnknown;
            }
        }
        return image;
    }
    PngHeader png;
    {
        PngRead probe;
        png = ReadPngHeader(probe, file);
    }
    CheckUnchanged(opened, header, static_cast<int>(png.width), static_cast<int>(png.height));
    if (png.colourType != PNG_COLOR_TYPE_GRAY || png.bitDepth != 16) {
        Fail("is not a 16-bit grey PNG image");
    }
    std::rewind(file);
    std::vector<png_byte> pixels;
    ReadPngRows(file, png, pixels, 2 * std::size_t(png.width),
                [](png_structp, const PngHeader&) {});
    float* out = image.Row(0);
    for (std::size_t i = 0; i < pixels.size() / 2; ++i) {
        const unsigned value = (unsigned{pixels[2 * i]} << 8) | pixels[2 * i + 1];  // big-endian
        out[i] = value == 0 ? kUnknown : static_cast<float>(value) / 256;
    }
    return image;
}

}  // namespace Orvel::detail
