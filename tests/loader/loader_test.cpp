// The shared loader: which files it refuses before the dynamic loader sees them, and that
// private copies keep scenes apart on both of their paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "nimbrelle/loader.h"

namespace {

namespace fs = std::filesystem;
using nimbrelle::loader::Copy;
using nimbrelle::loader::Mode;
using nimbrelle::loader::Module;

class Loader : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("nimbrelle-loader-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        std::ifstream in(NIMBRELLE_MODULE_PATH, std::ios::binary);
        module_.assign(std::istreambuf_iterator<char>(in), {});
        ASSERT_GT(module_.size(), 4096u);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Write(const std::string& name, const std::vector<char>& bytes) const
    {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Opens `path` in every mode and expects each to refuse it with `says` and the file's name.
    static void ExpectRefused(const fs::path& path, const std::string& says)
    {
        for (Mode mode : {Mode::Shared, Mode::Private, Mode::PrivateInMemory}) {
            std::string error;
            EXPECT_EQ(Module::Open(path, mode, &error), nullptr);
            EXPECT_NE(error.find(says), std::string::npos) << error;
            EXPECT_NE(error.find(path.filename().string()), std::string::npos) << error;
        }
    }

    fs::path dir_;
    std::vector<char> module_;
};

TEST_F(Loader, DamagedLibrariesAreRefusedBeforeTheyAreMapped)
{
    // Cut inside the header or the code: the dynamic loader would fault mapping these.
    for (std::size_t cut : {std::size_t{16}, std::size_t{3000}, std::size_t{40000}}) {
        SCOPED_TRACE(cut);
        ExpectRefused(Write("cut.so", {module_.begin(), module_.begin() + static_cast<std::ptrdiff_t>(cut)}),
                      "not a loadable shared library");
    }
    std::vector<char> otherClass = module_;
    otherClass[4] = otherClass[4] == 1 ? 2 : 1;  // EI_CLASS
    ExpectRefused(Write("class.so", otherClass), "-bit library");
    ExpectRefused(Write("text.so", {'h', 'e', 'l', 'l', 'o', '\n'}), "not an ELF file");
}

TEST_F(Loader, FilesThatAreNotLibrariesAreRefusedWithoutReadingThem)
{
    // A sparse file far over the bound: refused from its size, never copied into memory.
    const fs::path huge = dir_ / "huge.so";
    std::ofstream(huge).put('x');
    fs::resize_file(huge, std::uintmax_t{2} << 30);
    ExpectRefused(huge, "larger than 64 MiB");

    const fs::path fifo = dir_ / "fifo.so";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ExpectRefused(fifo, "not a regular file");
    ExpectRefused(dir_, "is a directory");
    ExpectRefused(dir_ / "absent.so", "does not exist");
}

// Frame `frames` of a fresh scene, drawn by `module` after `frames` earlier ones.
std::vector<uint32_t> Draw(Module& module, int frames)
{
    std::vector<uint32_t> pixels(96 * 64);
    FrameData record{};
    for (auto& level : record.blockA[0]) level = 200;
    for (int i = 0; i <= frames; ++i) EXPECT_TRUE(module.Render(pixels.data(), 96, 64, 96, record));
    return pixels;
}

TEST_F(Loader, PrivateCopiesKeepTheirOwnScenesOnBothPaths)
{
    for (Mode mode : {Mode::Private, Mode::PrivateInMemory}) {
        std::string error;
        auto first = Module::Open(NIMBRELLE_MODULE_PATH, mode, &error);
        auto second = Module::Open(NIMBRELLE_MODULE_PATH, mode, &error);
        ASSERT_TRUE(first && second) << error;
        if (mode == Mode::PrivateInMemory) {
            EXPECT_EQ(first->How(), Copy::InMemory);
        }
        EXPECT_NE(&first->Descriptor(), &second->Descriptor());
        ASSERT_TRUE(first->Init(&error) && second->Init(&error)) << error;
        Draw(*first, 30);
        // Neither the first copy's frames nor a third copy's init moved the second's scene:
        // its first frame is a fresh copy's first.
        auto third = Module::Open(NIMBRELLE_MODULE_PATH, mode, &error);
        ASSERT_TRUE(third && third->Init(&error)) << error;
        EXPECT_EQ(Draw(*second, 0), Draw(*third, 0));
    }
}

TEST_F(Loader, CopiesPastTheNamespaceLimitStillLoad)
{
    std::vector<std::unique_ptr<Module>> copies;
    std::string error;
    for (int i = 0; i < 24; ++i) {
        copies.push_back(Module::Open(NIMBRELLE_MODULE_PATH, Mode::Private, &error));
        ASSERT_TRUE(copies.back() && copies.back()->Init(&error)) << i << ": " << error;
    }
    EXPECT_EQ(copies.back()->How(), Copy::InMemory);
    const std::vector<uint32_t> reference = Draw(*copies.front(), 0);
    for (std::size_t i = 1; i < copies.size(); ++i) EXPECT_EQ(Draw(*copies[i], 0), reference) << i;
}

TEST_F(Loader, SharedLoadsAreOneCopyThatLeavesWhenClosed)
{
    std::string error;
    auto a = Module::Open(NIMBRELLE_MODULE_PATH, Mode::Shared, &error);
    auto b = Module::Open(NIMBRELLE_MODULE_PATH, Mode::Shared, &error);
    ASSERT_TRUE(a && b) << error;
    EXPECT_EQ(&a->Descriptor(), &b->Descriptor());
    EXPECT_EQ(a->How(), Copy::Shared);
    a.reset();
    EXPECT_TRUE(nimbrelle::loader::IsLoaded(NIMBRELLE_MODULE_PATH));
    b.reset();
    EXPECT_FALSE(nimbrelle::loader::IsLoaded(NIMBRELLE_MODULE_PATH));
}

TEST_F(Loader, TheDefaultModuleIsTheFirstCandidateThatIsAFile)
{
    fs::create_directories(dir_ / "bin");
    fs::create_directories(dir_ / "lib/nimbrelle");
    std::ofstream(dir_ / "lib/nimbrelle/NimbrelleCalvex.so").put('x');
    const std::vector<std::string> candidates = {"NimbrelleCalvex.so", "../lib/nimbrelle/NimbrelleCalvex.so",
                                                 "../src/NimbrelleCalvex.so"};
    std::string tried;
    EXPECT_EQ(nimbrelle::loader::FindModule(dir_ / "bin", candidates, &tried),
              dir_ / "lib/nimbrelle/NimbrelleCalvex.so");
    fs::remove(dir_ / "lib/nimbrelle/NimbrelleCalvex.so");
    EXPECT_TRUE(nimbrelle::loader::FindModule(dir_ / "bin", candidates, &tried).empty());
    EXPECT_EQ(tried, (dir_ / "bin/NimbrelleCalvex.so").string() + ", " +
                         (dir_ / "lib/nimbrelle/NimbrelleCalvex.so").string() + ", " +
                         (dir_ / "src/NimbrelleCalvex.so").string());
    // This test program's own folder.
    EXPECT_EQ(nimbrelle::loader::FolderOf(reinterpret_cast<const void*>(&Draw)), fs::canonical("/proc/self/exe").parent_path());
}

}  // namespace
