// Fixture for the engine tests: a fresh folder per test, archives written into it, and
// helpers to look at what extraction left behind.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "file_io.h"
#include "fs_probe.h"
#include "scratch_dir.h"
#include "zip_archive.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

// The wide form of a path. path::wstring() converts with the classic locale on POSIX and fails
// on non-ASCII names; the UTF-8 form converts the same way on every platform.
inline std::wstring W(const fs::path& p) {
    const std::string utf8 = p.u8string();
    return zipio::Utf8ToWide(utf8.data(), utf8.size());
}

class ZipTest : public ::testing::Test {
protected:

    fs::path Write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    fs::path WriteArchive(const ztest::Archive& archive, const std::string& name = "test.zip") {
        return Write(name, ztest::Build(archive));
    }
    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Every path below root, relative and with '/' separators; folders end in '/'.
    static std::set<std::string> Tree(const fs::path& root) {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(root, ec)) {
            std::string rel = fs::relative(e.path(), root).generic_u8string();
            if (e.is_directory()) rel += '/';
            out.insert(rel);
        }
        return out;
    }

    ztest::ScratchDir scratch_{"zip-test"};
    const fs::path dir_ = scratch_.path();
};

// Opens bytes held in memory; the string must outlive the handle.
inline ZipHandle* OpenMemory(const std::string& bytes, const char* password = nullptr) {
    return ZipOpenFromMemory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), password);
}

inline ztest::Entry FileEntry(std::string name, std::string data, std::uint16_t method = 8) {
    ztest::Entry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.method = method;
    return e;
}

inline ztest::Entry FolderEntry(std::string name) {
    ztest::Entry e;
    e.name = std::move(name);
    e.method = 0;
    e.externalAttributes = (040755u << 16) | 0x10;
    return e;
}

// Mixed content that crosses several 16 KiB buffers and compresses only in part.
inline std::string MixedData(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(size);
    while (s.size() < size) {
        if (rng() % 2) {
            s += "line " + std::to_string(s.size()) + " of some fairly repetitive text\n";
        } else {
            for (int i = 0; i < 64; ++i) s += static_cast<char>(rng());
        }
    }
    s.resize(size);
    return s;
}
