// What both programs read from a driver file and from the service: its version resource, its
// SHA-256, which file a service's ImagePath names, and whether a service is the filter's.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "installation.h"
#include "pe_image.h"
#include "port_name.h"
#include "sha256.h"

namespace
{

std::string Sha(const std::string& data, size_t piece)
{
    win::Sha256 hash;
    for (size_t at = 0; at < data.size(); at += piece) {
        hash.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    return hash.HexDigest();
}

TEST(Sha256, PublishedDigestsWhateverThePieces)
{
    const struct {
        std::string data;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {1, 63, 64, 65, 4096}) {
            if (c.data.size() > 100000 && piece < 64) {
                continue; // a million single bytes add nothing but time
            }
            EXPECT_EQ(Sha(c.data, piece), c.digest) << c.data.size() << " bytes by " << piece;
        }
    }
}

// A minimal PE image laid out by hand: one section holding the resource tree
// RT_VERSION / 1 / 0x409 and a VS_VERSIONINFO with the fixed file info.
struct Image {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(0x200 + 0x100, 0);
    size_t optional = 0x40 + 24;
    size_t resourceDir = 0; // offset of the resource data directory entry

    void U16(size_t at, uint16_t v) { std::memcpy(&bytes[at], &v, 2); }
    void U32(size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }

    explicit Image(bool plus = false)
    {
        const size_t optionalSize = plus ? 240 : 224;
        bytes[0] = 'M';
        bytes[1] = 'Z';
        U32(0x3C, 0x40);
        std::memcpy(&bytes[0x40], "PE\0\0", 4);
        U16(0x44, plus ? 0x8664 : 0x014C);
        U16(0x46, 1);
        U16(0x54, uint16_t(optionalSize));
        U16(optional, plus ? 0x20B : 0x10B);
        U16(optional + 68, 1); // native
        U32(optional + (plus ? 108 : 92), 16);
        resourceDir = optional + (plus ? 112 : 96) + 2 * 8;
        U32(resourceDir, 0x1000);
        U32(resourceDir + 4, 0x100);
        const size_t section = optional + optionalSize;
        std::memcpy(&bytes[section], ".rsrc", 5);
        U32(section + 8, 0x100);
        U32(section + 12, 0x1000);
        U32(section + 16, 0x100);
        U32(section + 20, 0x200);
        const size_t r = 0x200;
        for (size_t dir : {0x00, 0x18, 0x30}) {
            U16(r + dir + 14, 1); // one entry by ID
        }
        U32(r + 0x10, 16);
        U32(r + 0x14, 0x80000018);
        U32(r + 0x28, 1);
        U32(r + 0x2C, 0x80000030);
        U32(r + 0x40, 0x409);
        U32(r + 0x44, 0x48);
        U32(r + 0x48, 0x1058); // data entry: RVA and size of the VS_VERSIONINFO
        U32(r + 0x4C, 92);
        const size_t info = r + 0x58;
        U16(info, 92);
        U16(info + 2, 52);
        const char key[] = "VS_VERSION_INFO";
        for (size_t i = 0; i < sizeof key; ++i) {
            bytes[info + 6 + 2 * i] = static_cast<unsigned char>(key[i]);
        }
        U32(info + 40, 0xFEEF04BD);
        U32(info + 48, 0x00010002); // 1.2
        U32(info + 52, 0x00030004); // .3.4
    }
};

TEST(ImageFacts, ReadsTheVersionResource)
{
    for (bool plus : {false, true}) {
        Image image(plus);
        win::ImageFacts facts;
        ASSERT_TRUE(win::ReadImageFacts(image.bytes.data(), image.bytes.size(), &facts));
        EXPECT_EQ(facts.machine, plus ? win::kMachineAmd64 : win::kMachineI386);
        EXPECT_EQ(facts.subsystem, win::kSubsystemNative);
        ASSERT_TRUE(facts.hasVersion);
        EXPECT_EQ(win::VersionText(facts.version), "1.2.3.4");
    }
}

TEST(ImageFacts, DamagedImagesLoseTheVersionNeverTheBounds)
{
    const struct {
        const char* name;
        size_t at;
        uint32_t value;
        bool isImage;
    } damages[] = {
        {"not MZ", 0, 0x5A4E, false},
        {"no PE signature", 0x40, 0x00004551, false},
        {"header offset past the end", 0x3C, 0xFFFFFFF0, false},
        {"no version type", 0x200 + 0x10, 6, true},
        {"resource directory outside every section", 0x40 + 24 + 112, 0x5000, true},
        {"section data past the end of the file", 0x40 + 24 + 224 + 20, 0xFFFFFF00, true},
        {"subdirectory offset past the section", 0x200 + 0x14, 0x8FFFFFFF, true},
        {"name level points at data", 0x200 + 0x14, 0x00000018, true},
        {"version data larger than the section", 0x200 + 0x4C, 0x1000, true},
        {"fixed info signature", 0x200 + 0x58 + 40, 0xFEEF04BE, true},
        {"value shorter than the fixed info", 0x200 + 0x58 + 2, 4, true},
    };
    for (const auto& d : damages) {
        Image image;
        image.U32(d.at, d.value);
        win::ImageFacts facts;
        EXPECT_EQ(win::ReadImageFacts(image.bytes.data(), image.bytes.size(), &facts), d.isImage)
            << d.name;
        EXPECT_FALSE(facts.hasVersion) << d.name;
    }
    // Every truncation: the version is there only when its bytes are.
    Image image;
    for (size_t size = 0; size < 0x200 + 0x58 + 56; ++size) {
        win::ImageFacts facts;
        win::ReadImageFacts(image.bytes.data(), size, &facts);
        EXPECT_FALSE(facts.hasVersion) << size << " bytes";
    }
}

TEST(DriverFile, VersionsAndDescriptions)
{
    Image image;
    win::DriverFile file =
        win::DescribeDriverBytes("C:\\x\\nmeafilt.sys", image.bytes.data(), image.bytes.size());
    EXPECT_EQ(win::DriverVersionText(file), "version 1.2.3.4");
    EXPECT_NE(win::DriverFileJson(file).find("\"version\": \"1.2.3.4\""), std::string::npos);
    const unsigned char text[] = "not a driver";
    win::DriverFile other = win::DescribeDriverBytes("C:\\x\\nmeafilt.sys", text, 12);
    EXPECT_EQ(win::DriverFileText(other).substr(0, 36), "C:\\x\\nmeafilt.sys: not a PE image, S");
    EXPECT_NE(win::DriverFileJson(other).find("\"version\": null"), std::string::npos);

    const win::FileVersion older{{1, 0, 9, 0}}, newer{{1, 1, 0, 0}};
    EXPECT_LT(win::CompareVersions(older, newer), 0);
    EXPECT_GT(win::CompareVersions(newer, older), 0);
    EXPECT_EQ(win::CompareVersions(newer, newer), 0);
}

TEST(Service, WhichFileItLoadsAndWhetherItIsTheFilters)
{
    const struct {
        const char* imagePath;
        const char* file;
        bool filters; // with type 1, start 3, error control 1
    } cases[] = {
        {"system32\\drivers\\nmeafilt.sys", "C:\\WINDOWS\\system32\\drivers\\nmeafilt.sys", true},
        {"System32\\DRIVERS\\nmeafilt.sys", "C:\\WINDOWS\\System32\\DRIVERS\\nmeafilt.sys", true},
        {"\\SystemRoot\\system32\\drivers\\nmeafilt.sys",
         "C:\\WINDOWS\\system32\\drivers\\nmeafilt.sys", true},
        {"", "C:\\WINDOWS\\system32\\drivers\\nmeafilt.sys", false},
        {"\\??\\D:\\drv\\nmeafilt.sys", "D:\\drv\\nmeafilt.sys", false},
        {"system32\\drivers\\other.sys", "C:\\WINDOWS\\system32\\drivers\\other.sys", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::ImageFile(c.imagePath, "C:\\WINDOWS"), c.file) << c.imagePath;
        EXPECT_EQ(win::IsFilterServiceConfig({1, 3, 1, c.imagePath}), c.filters) << c.imagePath;
    }
    const char* path = "system32\\drivers\\nmeafilt.sys";
    for (const win::ServiceConfig& wrong :
         {win::ServiceConfig{16, 3, 1, path}, win::ServiceConfig{1, 2, 1, path},
          win::ServiceConfig{1, 3, 0, path}}) {
        EXPECT_FALSE(win::IsFilterServiceConfig(wrong)) << wrong.type << wrong.start;
    }
}

TEST(Lists, MultiSzAndPortNames)
{
    const struct {
        std::string data;
        std::vector<std::string> items;
    } lists[] = {
        {std::string("serenum\0nmeafilt\0\0", 18), {"serenum", "nmeafilt"}},
        {std::string("\0\0", 2), {}},
        {std::string("serenum", 7), {"serenum"}}, // stored without its terminators
    };
    for (const auto& l : lists) {
        EXPECT_EQ(win::SplitMultiSz(l.data.data(), static_cast<unsigned long>(l.data.size())),
                  l.items);
        std::string joined = win::JoinMultiSz(l.items);
        EXPECT_EQ(win::SplitMultiSz(joined.data(), static_cast<unsigned long>(joined.size())),
                  l.items);
        EXPECT_EQ(joined.substr(joined.size() - 2), std::string("\0\0", 2));
    }
    const struct {
        const char* text;
        const char* port; // nullptr: refused
    } names[] = {{"com3", "COM3"},   {"COM256", "COM256"}, {"Com010", "COM10"},
                 {"COM0", nullptr},  {"COM257", nullptr},  {"COM", nullptr},
                 {"COM3x", nullptr}, {"LPT1", nullptr},    {"COM-1", nullptr}};
    for (const auto& n : names) {
        std::string port;
        EXPECT_EQ(win::ParsePortName(n.text, &port), n.port != nullptr) << n.text;
        if (n.port) {
            EXPECT_EQ(port, n.port);
        }
    }
}

} // namespace
