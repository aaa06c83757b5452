// Tests of reading recorded images: every PNG and PFM encoding a recording may hold, decoded as
// stored, and the files that are not such images refused with their fault.
#include "Recording.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace Tarnwell::test {
namespace {

using Orvel::detail::ReadDisparityImage;
using Orvel::detail::ReadGreyImage;
using Orvel::detail::ReadImageHeader;
using Orvel::detail::RecordedKind;

std::string BigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string Chunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return BigEndian(static_cast<std::uint32_t>(data.size())) + body + BigEndian(crc);
}

// A PNG file written byte by byte, so that any chunk can be put in: `rows` are the image's rows
// as PNG stores them (samples big-endian, packed below 8 bits), each given filter type 0 here.
struct Png {
    std::uint32_t width = 2;
    std::uint32_t height = 1;
    int bitDepth = 8;
    int colourType = 0;  // grey
    std::vector<std::string> rows;
    std::vector<std::string> before;  // chunks between IHDR and IDAT
    // false: the file stops right after the rows' compressed data, before the stream's end.
    bool ended = true;
    bool interlaced = false;  // Adam7, of 8-bit grey rows

    // The rows as stored: each with its filter byte, in Adam7's seven passes when interlaced.
    std::string Stored() const {
        if (!interlaced) {
            std::string raw;
            for (const std::string& row : rows) {
                raw += '\0' + row;
            }
            return raw;
        }
        constexpr std::uint32_t kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8},
                                                 {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2},
                                                 {0, 1, 1, 2}};
        std::string raw;
        for (const auto& [x0, y0, dx, dy] : kPasses) {
            if (x0 >= width || y0 >= height) {
                continue;
            }
            for (std::uint32_t y = y0; y < height; y += dy) {
                raw += '\0';
                for (std::uint32_t x = x0; x < width; x += dx) {
                    raw += rows[y][x];
                }
            }
        }
        return raw;
    }

    std::string Bytes() const {
        std::string ihdr = BigEndian(width) + BigEndian(height);
        ihdr += {static_cast<char>(bitDepth), static_cast<char>(colourType), 0, 0,
                 static_cast<char>(interlaced ? 1 : 0)};
        std::string raw = Stored();
        z_stream stream{};
        deflateInit(&stream, Z_DEFAULT_COMPRESSION);
        std::vector<Bytef> packed(deflateBound(&stream, static_cast<uLong>(raw.size())) + 16);
        stream.next_in = reinterpret_cast<Bytef*>(raw.data());
        stream.avail_in = static_cast<uInt>(raw.size());
        stream.next_out = packed.data();
        stream.avail_out = static_cast<uInt>(packed.size());
        deflate(&stream, ended ? Z_FINISH : Z_SYNC_FLUSH);
        const std::string data(reinterpret_cast<const char*>(packed.data()), stream.total_out);
        deflateEnd(&stream);
        std::string file = "\x89PNG\r\n\x1a\n" + Chunk("IHDR", ihdr);
        for (const std::string& chunk : before) {
            file += chunk;
        }
        file += Chunk("IDAT", data);
        return ended ? file + Chunk("IEND", "") : file;
    }
};

// A gAMA chunk of gamma 1/2.2 and an sRGB chunk: what makes a converting reader change samples.
const std::vector<std::string> kGammaChunks{Chunk("gAMA", BigEndian(45455)),
                                            Chunk("sRGB", std::string(1, '\0'))};

std::string Floats(const std::vector<float>& values, bool bigEndian) {
    std::string bytes;
    for (const float value : values) {
        char b[4];
        std::memcpy(b, &value, 4);
        if (bigEndian) {
            std::swap(b[0], b[3]);
            std::swap(b[1], b[2]);
        }
        bytes.append(b, 4);
    }
    return bytes;
}

struct FileCase {
    const char* name;
    RecordedKind kind;
    std::string bytes;
    std::vector<float> pixels;  // the decoded values in row order (NaN: unknown), or
    std::string fault;          // the fault, when the file is refused
};

void PrintTo(const FileCase& c, std::ostream* out) {
    *out << c.name;
}

class RecordedImageFile : public testing::TestWithParam<FileCase> {};

// Makes sure every encoding a recording may hold decodes to its stored samples and that what is
// not such an image is refused with its fault. Example failures: a 16-bit disparity with a gAMA
// chunk gamma-converted (5120, 20 px, read as 0.94 px); a PFM with CRLF line ends read a byte
// off; a width of 4294967776 taken as 480; a PNG refused for its size leaking its reader; a file
// whose compressed data goes on past its rows inflated to the end (a decompression bomb; here the
// file ends right after the rows' data, which only a reader that reads on notices).
TEST_P(RecordedImageFile, DecodesItsStoredSamplesOrIsRefused) {
    const FileCase& c = GetParam();
    const std::string path = WriteTestFile("image", c.bytes).string();
    std::vector<float> pixels;
    try {
        const auto header = ReadImageHeader(path, c.kind);
        if (c.kind == RecordedKind::View) {
            const auto image = ReadGreyImage(path, header);
            pixels.assign(image.Row(0), image.Row(0) + image.Width() * image.Height());
        } else {
            const auto image = ReadDisparityImage(path, header);
            pixels.assign(image.Row(0), image.Row(0) + image.Width() * image.Height());
        }
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), c.fault);
        return;
    }
    EXPECT_EQ(c.fault, "");
    ASSERT_EQ(pixels.size(), c.pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (std::isnan(c.pixels[i])) {
            EXPECT_TRUE(std::isnan(pixels[i])) << "pixel " << i << ": " << pixels[i];
        } else {
            EXPECT_EQ(pixels[i], c.pixels[i]) << "pixel " << i;
        }
    }
}

const float kUnknown = std::nanf("");

Png Grey(std::vector<std::string> rows, int bitDepth = 8, std::uint32_t width = 2) {
    Png png;
    png.width = width;
    png.height = static_cast<std::uint32_t>(rows.size());
    png.bitDepth = bitDepth;
    png.rows = std::move(rows);
    return png;
}

Png WithChunks(Png png, std::vector<std::string> chunks) {
    png.before = std::move(chunks);
    return png;
}

Png Coloured(int colourType, std::string row, std::vector<std::string> chunks = {}) {
    Png png = Grey({std::move(row)});
    png.colourType = colourType;
    png.before = std::move(chunks);
    return png;
}

Png CutAfterRows(Png png) {
    png.ended = false;
    return png;
}

Png Interlaced(Png png) {
    png.interlaced = true;
    return png;
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, RecordedImageFile,
    testing::Values(
        FileCase{"GreyWithGamma",
                 RecordedKind::View,
                 WithChunks(Grey({"\x64\xc8"}), kGammaChunks).Bytes(),
                 {100, 200},
                 ""},
        FileCase{"SixteenBitGreyWithGamma",
                 RecordedKind::View,
                 WithChunks(Grey({std::string("\x80\x80\xff\xff", 4)}, 16), kGammaChunks).Bytes(),
                 {128, 255},
                 ""},
        FileCase{"OneBitGrey", RecordedKind::View, Grey({"\x80"}, 1).Bytes(), {255, 0}, ""},
        FileCase{"GreyAndAlpha",
                 RecordedKind::View,
                 Coloured(4, std::string("\x32\x00\x3c\xff", 4)).Bytes(),
                 {50, 60},
                 ""},
        // BT.601 luma of pure red and pure blue.
        FileCase{"Colour",
                 RecordedKind::View,
                 Coloured(2, std::string("\xff\x00\x00\x00\x00\xff", 6), kGammaChunks).Bytes(),
                 {76, 29},
                 ""},
        FileCase{"PaletteWithTransparency",
                 RecordedKind::View,
                 Coloured(3, std::string("\x01\x00", 2),
                          {Chunk("PLTE", std::string("\xff\x00\x00\x00\x00\xff", 6)),
                           Chunk("tRNS", std::string(1, '\0'))})
                     .Bytes(),
                 {29, 76},
                 ""},
        FileCase{"Interlaced",
                 RecordedKind::View,
                 Interlaced(Grey({"\x01\x02\x03", "\x04\x05\x06"}, 8, 3)).Bytes(),
                 {1, 2, 3, 4, 5, 6},
                 ""},
        FileCase{
            "InterlacedCutShort",
            RecordedKind::View,
            Interlaced(Grey({"\x01\x02\x03", "\x04\x05\x06"}, 8, 3)).Bytes().substr(0, 8 + 25 + 12),
            {},
            "is a PNG image cut short"},
        FileCase{"ImageDataEndsTheFile",
                 RecordedKind::View,
                 CutAfterRows(Grey({"\x01\x02"})).Bytes(),
                 {1, 2},
                 ""},
        FileCase{"WiderThanASensor",
                 RecordedKind::View,
                 Grey({std::string(4097, 'a')}, 8, 4097).Bytes(),
                 {},
                 "is 4097x1, not an image of 1 to 4096 pixels a side"},
        FileCase{"SixteenBitDisparityWithGamma",
                 RecordedKind::Disparity,
                 WithChunks(Grey({std::string("\x14\x00\x00\x00", 4)}, 16), kGammaChunks).Bytes(),
                 {20, kUnknown},
                 ""},
        FileCase{"EightBitDisparity",
                 RecordedKind::Disparity,
                 Grey({"\x14\x00"}).Bytes(),
                 {},
                 "is not a 16-bit grey PNG image"},
        FileCase{"Pfm",
                 RecordedKind::Disparity,
                 "Pf\n2 1\n-1\n" + Floats({1.5f, INFINITY}, false),
                 {1.5f, kUnknown},
                 ""},
        FileCase{"BigEndianPfmRowsBottomUp",
                 RecordedKind::Disparity,
                 "Pf 1 2 1.0\n" + Floats({2.5f, 7}, true),
                 {7, 2.5f},
                 ""},
        FileCase{"PfmWithCrLf",
                 RecordedKind::Disparity,
                 "Pf\r\n2 1\r\n-1\r\n" + Floats({1, 2}, false),
                 {},
                 "is a PFM image of 9 data bytes, not the 8 of 2x1 pixels"},
        FileCase{"PfmWithTrailingBytes",
                 RecordedKind::Disparity,
                 "Pf\n2 1\n-1\n" + Floats({1, 2, 3}, false),
                 {},
                 "is a PFM image of 12 data bytes, not the 8 of 2x1 pixels"},
        FileCase{"PfmWiderThanAnInteger",
                 RecordedKind::Disparity,
                 "Pf\n4294967776 1\n-1\n" + Floats({1}, false),
                 {},
                 "is 4294967776x1, not an image of 1 to 4096 pixels a side"},
        FileCase{"PfmOfNegativeWidth",
                 RecordedKind::Disparity,
                 "Pf\n-480 1\n-1\n" + Floats({1}, false),
                 {},
                 "is -480x1, not an image of 1 to 4096 pixels a side"},
        FileCase{"ColourPfm",
                 RecordedKind::Disparity,
                 "PF\n1 1\n-1\n" + Floats({1, 2, 3}, false),
                 {},
                 "is not a one-channel PFM image"}),
    [](const testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tarnwell::test
