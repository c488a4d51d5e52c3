// The image loader against the shipped driver image, and against copies of it damaged one way
// each: every copy must be refused for the damage done to it, and nothing else.
#include <driver_image.h>

#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using standin::DriverImage;

namespace
{

using File = std::vector<unsigned char>;

const File& Original()
{
    static const File file = [] {
        std::ifstream in(NMEAFILT_IMAGE_PATH, std::ios::binary);
        return File(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    return file;
}

uint32_t Get(const void* at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<const unsigned char*>(at)[i];
    return v;
}
// Checked, so that a missing or odd image fails the test instead of reading past it.
uint32_t Get(const File& f, size_t at, int bytes)
{
    return Get(&f.at(at + bytes - 1) - (bytes - 1), bytes);
}
void Set(File& f, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        f.at(at + i) = static_cast<unsigned char>(value >> (8 * i));
}

// Where things are in the file: read from it, as the image changes with every build.
struct Layout {
    size_t pe, optional, checkSum, sections, text, data, relocations, module, lookup, name;
    uint32_t importRva, relocationRva, relocationSize;
};

const Layout& Where()
{
    static const Layout layout = [] {
        const File& f = Original();
        Layout l = {};
        l.pe = Get(f, 0x3C, 4);
        l.optional = l.pe + 24;
        l.checkSum = l.optional + 64;
        l.sections = l.optional + Get(f, l.pe + 20, 2);
        const size_t end = l.sections + 40 * Get(f, l.pe + 6, 2);
        auto offset = [&](uint32_t rva) {
            for (size_t s = l.sections; s < end; s += 40)
                if (rva >= Get(f, s + 12, 4) && rva - Get(f, s + 12, 4) < Get(f, s + 16, 4))
                    return rva - Get(f, s + 12, 4) + Get(f, s + 20, 4);
            ADD_FAILURE() << "RVA " << rva << " is in no section";
            return 0u;
        };
        for (size_t s = l.sections; s < end; s += 40) {
            if (std::memcmp(&f[s], ".text\0", 6) == 0)
                l.text = s;
            if (std::memcmp(&f[s], ".data\0", 6) == 0)
                l.data = s;
        }
        l.importRva = Get(f, l.optional + 96 + 8, 4);
        l.relocationRva = Get(f, l.optional + 96 + 40, 4);
        l.relocationSize = Get(f, l.optional + 100 + 40, 4);
        l.relocations = offset(l.relocationRva);
        const size_t descriptor = offset(l.importRva);
        l.module = offset(Get(f, descriptor + 12, 4));
        l.lookup = offset(Get(f, descriptor, 4));
        l.name = offset(Get(f, l.lookup, 4)) + 2;
        return l;
    }();
    return layout;
}

// The sum the linker's post-step writes, done differently from the loader: everything added at
// once, folded at the end.
void FixCheckSum(File& f)
{
    const size_t field = Where().checkSum;
    if (field + 4 > f.size())
        return;
    File zeroed = f;
    Set(zeroed, field, 0, 4);
    zeroed.push_back(0);
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < zeroed.size(); i += 2)
        sum += Get(zeroed, i, 2);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    Set(f, field, static_cast<uint32_t>(sum + f.size()), 4);
}

struct Damage {
    const char* name;
    void (*apply)(File&);
    const char* cause;  // null: the image loads where it can run
    const char* detail; // a second phrase of the message, or null
};

const Damage kDamages[] = {
    {"Undamaged", [](File&) {}, nullptr, nullptr},
    {"UpperCaseModule", [](File& f) { std::memcpy(&f[Where().module], "NTOSKRNL.EXE", 12); },
     nullptr, nullptr},
    {"CutInDosHeader", [](File& f) { f.resize(0x30); }, "truncated file", "DOS header"},
    {"CutInFileHeader", [](File& f) { f.resize(Where().pe + 10); }, "truncated file", nullptr},
    {"CutInSectionTable", [](File& f) { f.resize(Where().sections + 40 * 2 + 12); },
     "truncated file", "section table"},
    {"CutInLastSection", [](File& f) { f.resize(f.size() - 0x100); }, "truncated file",
     "section .reloc"},
    {"PeHeaderPastEnd", [](File& f) { Set(f, 0x3C, f.size(), 4); }, "truncated file", nullptr},
    {"NoMz", [](File& f) { f[1] = 'X'; }, "not a PE image", nullptr},
    {"NoPeSignature", [](File& f) { f[Where().pe + 1] = 'X'; }, "not a PE image", nullptr},
    {"Amd64", [](File& f) { Set(f, Where().pe + 4, 0x8664, 2); },
     "wrong machine 0x8664: not i386 (0x014C)", nullptr},
    {"Pe32Plus", [](File& f) { Set(f, Where().optional, 0x20B, 2); }, "not a PE32 image", nullptr},
    {"WindowsGui", [](File& f) { Set(f, Where().optional + 68, 2, 2); },
     "wrong subsystem 2: not native (1)", nullptr},
    {"ImageSizeZero", [](File& f) { Set(f, Where().optional + 56, 0, 4); }, "bad image size",
     nullptr},
    {"DataPastImageEnd",
     [](File& f) { Set(f, Where().data + 12, Get(f, Where().optional + 56, 4) - 8, 4); },
     "section .data lies outside the image", nullptr},
    {"TextOverHeaders", [](File& f) { Set(f, Where().text + 12, 0x200, 4); },
     "section .text lies outside the image", nullptr},
    {"EntryInData", [](File& f) { Set(f, Where().optional + 16, Get(f, Where().data + 12, 4), 4); },
     "is not in code", nullptr},
    {"RelocationBlockSizeZero", [](File& f) { Set(f, Where().relocations + 4, 0, 4); },
     "bad relocation block at RVA", "less than its header"},
    {"RelocationBlockSizeOdd",
     [](File& f) { Set(f, Where().relocations + 4, Get(f, Where().relocations + 4, 4) + 1, 4); },
     "bad relocation block at RVA", "odd"},
    {"RelocationBlockPastDirectory",
     [](File& f) { Set(f, Where().relocations + 4, Where().relocationSize + 8, 4); },
     "bad relocation block at RVA", "runs past the directory"},
    {"RelocationType10",
     [](File& f) {
         Set(f, Where().relocations + 8, 0xA000 | (Get(f, Where().relocations + 8, 2) & 0xFFF), 2);
     },
     "bad relocation block at RVA", "type 10 is not supported"},
    {"NoRelocations", [](File& f) { Set(f, Where().optional + 100 + 40, 0, 4); },
     "no base relocations: it cannot be moved from 0x", nullptr},
    {"UnknownModule", [](File& f) { std::memcpy(&f[Where().module], "ntoskrnl.exx", 12); },
     "import from unknown module ntoskrnl.exx", nullptr},
    {"UnknownName", [](File& f) { f[Where().name] = 'Q'; }, "unknown import ntoskrnl.exe!Q",
     nullptr},
    {"ByOrdinal", [](File& f) { Set(f, Where().lookup, 0x80000123, 4); },
     "import by ordinal 291 from ntoskrnl.exe", nullptr},
};

void PrintTo(const Damage& damage, std::ostream* out)
{
    *out << damage.name;
}

class DamageTest : public ::testing::TestWithParam<Damage>
{
};

TEST_P(DamageTest, RefusedForWhatWasDone)
{
    File file = Original();
    ASSERT_GT(file.size(), 0x400u) << "cannot read " << NMEAFILT_IMAGE_PATH;
    GetParam().apply(file);
    FixCheckSum(file);
    DriverImage image;
    std::string error;
    const bool loaded = image.Load(file, &error);
    const char* cause = GetParam().cause;
    if (!cause && !standin::kRunsDriverImages)
        cause = "an i386 driver image runs only in the 32-bit build";
    if (!cause) {
        EXPECT_TRUE(loaded) << error;
        EXPECT_TRUE(image.Contains(reinterpret_cast<const void*>(image.Entry())));
        return;
    }
    EXPECT_FALSE(loaded);
    EXPECT_FALSE(image.Loaded());
    EXPECT_EQ(image.Entry(), nullptr);
    EXPECT_NE(error.find(cause), std::string::npos) << error;
    if (GetParam().detail) {
        EXPECT_NE(error.find(GetParam().detail), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, DamageTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& row) {
                             return std::string(row.param.name);
                         });

TEST(ImageLoader, WrongCheckSumNamesBothValues)
{
    File file = Original();
    const uint32_t stored = Get(file, Where().checkSum, 4);
    Set(file, Where().checkSum, stored + 1, 4);
    DriverImage image;
    std::string error;
    EXPECT_FALSE(image.Load(file, &error));
    char expected[80];
    std::snprintf(expected, sizeof expected,
                  "header checksum 0x%08X does not match the file's 0x%08X", stored + 1, stored);
    EXPECT_EQ(error, expected);
}

TEST(ImageLoader, MissingFileIsNamed)
{
    DriverImage image;
    std::string error;
    EXPECT_FALSE(image.Load(std::string("/nonexistent/nmeafilt.sys"), &error));
    EXPECT_EQ(error, "cannot read /nonexistent/nmeafilt.sys: No such file or directory");
}

class LoadedImage : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!standin::kRunsDriverImages)
            GTEST_SKIP() << "only the 32-bit build runs the image";
        std::string error;
        ASSERT_TRUE(image.Load(std::string(NMEAFILT_IMAGE_PATH), &error)) << error;
    }
    DriverImage image;
};

// Protections are probed in this process, not read from /proc/self/maps (under qemu-user that
// merges neighbouring pages) nor in a death test (qemu-user cannot start its child).
sigjmp_buf faultJump;

bool Faults(void (*touch)(volatile unsigned char*), void* at)
{
    struct sigaction action = {}, oldSegv, oldBus;
    action.sa_handler = [](int) { siglongjmp(faultJump, 1); };
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &oldSegv);
    sigaction(SIGBUS, &action, &oldBus);
    const bool faulted = sigsetjmp(faultJump, 1) != 0;
    if (!faulted)
        touch(static_cast<volatile unsigned char*>(at));
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGBUS, &oldBus, nullptr);
    return faulted;
}

TEST_F(LoadedImage, CodeIsNotWritableAndDataNotExecutable)
{
    const File& f = Original();
    const uint32_t textSize = Get(f, Where().text + 8, 4);
    void* text = image.At(Get(f, Where().text + 12, 4), textSize);
    void* data = image.At(Get(f, Where().data + 12, 4), 1);
    ASSERT_TRUE(text && data);
    auto read = [](volatile unsigned char* p) { (void)*p; };
    auto write = [](volatile unsigned char* p) { *p = *p; };
    auto call = [](volatile unsigned char* p) {
        reinterpret_cast<void (*)()>(const_cast<unsigned char*>(p))();
    };
    auto returnHere = [](volatile unsigned char* p) {
        *p = 0xC3;
        reinterpret_cast<void (*)()>(const_cast<unsigned char*>(p))();
    };
    // The control: a return instruction somewhere in the code runs and comes back.
    void* ret = std::memchr(text, 0xC3, textSize);
    ASSERT_NE(ret, nullptr);
    EXPECT_FALSE(Faults(call, ret));
    EXPECT_TRUE(Faults(write, text));
    EXPECT_FALSE(Faults(read, image.Base()));
    EXPECT_TRUE(Faults(write, image.Base()));
    EXPECT_FALSE(Faults(write, data));
    EXPECT_TRUE(Faults(returnHere, data));
}

} // namespace
