// zip_extract: extracts one archive into a folder through the engine's ExtractZipToDir.
// Exit status 0 when everything extracted, 1 when not, 2 for a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "file_io.h"
#include "zip_archive.h"

namespace {

// Command-line arguments are UTF-8 here, decoded as the engine decodes stored names.
std::wstring Wide(const char* text) { return zipio::Utf8ToWide(text, std::strlen(text)); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zip_extract ARCHIVE DEST_DIR\n");
        return 2;
    }
    if (ExtractZipToDir(Wide(argv[1]), Wide(argv[2]))) return 0;
    wchar_t text[256];
    ZipResultText(kZipUseLastResult, text, sizeof text / sizeof text[0]);
    std::fprintf(stderr, "zip_extract: %s: extraction failed: %ls\n", argv[1], text);
    return 1;
}
