// zip_extract ARCHIVE DEST_DIR: extracts one archive through the engine's ExtractZipToDir, for
// zip_bench. Exit status 0 when everything extracted, 1 when not, 2 for a usage error.
#include <cstdio>
#include <cstring>

#include "file_io.h"
#include "zip_archive.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zip_extract ARCHIVE DEST_DIR\n");
        return 2;
    }
    // The arguments are UTF-8 here, decoded as the engine decodes stored names.
    auto wide = [](const char* text) { return zipio::Utf8ToWide(text, std::strlen(text)); };
    if (ExtractZipToDir(wide(argv[1]), wide(argv[2]))) return 0;
    wchar_t text[256];
    ZipResultText(kZipUseLastResult, text, sizeof text / sizeof text[0]);
    std::fprintf(stderr, "zip_extract: %s: extraction failed: %ls\n", argv[1], text);
    return 1;
}
