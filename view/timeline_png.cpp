#include "timeline_png.h"

#include <png.h>

#include <cstdio>
#include <memory>

#include "ramp_view.h"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// libpng reports errors by longjmp; keep everything with a destructor out
// of the function that calls setjmp.
bool write_rows(std::FILE* file, const std::vector<timeline_row>& rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, 256, static_cast<png_uint_32>(rows.size()), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (const timeline_row& row : rows) {
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

timeline_row timeline_row_of(const crtc_ramp& ramp) {
    timeline_row row{};
    for (int level = 0; level < 256; ++level) {
        const rgb16 v = output_at_level(ramp, level);
        const std::size_t at = static_cast<std::size_t>(level) * 3;
        row[at] = to_8bit(v.r);
        row[at + 1] = to_8bit(v.g);
        row[at + 2] = to_8bit(v.b);
    }
    return row;
}

std::string write_timeline_png(const std::string& path, const std::vector<timeline_row>& rows) {
    if (rows.empty()) {
        return "no samples to write";
    }
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        return "cannot create " + path;
    }
    if (!write_rows(file.get(), rows)) {
        return "cannot write " + path;
    }
    return std::fclose(file.release()) == 0 ? "" : "cannot write " + path;
}
